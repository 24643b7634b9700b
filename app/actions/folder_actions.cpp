// "Show Data Folder" and "Show Server Log": reach the server's files in the file manager.
#include "base/file_calls.h"
#include "controller/app_delegate.h"
#include "server/locations.h"
#include "session/workspace.h"

#include <QFileInfo>

void TarvessaAudioServerAppDelegate::showServerLog(QObject*)
{
    const RuntimeLocations where = locations();
    static_cast<void>(makeFolderWithParents(where.logFolder())); // shown anyway if not made
    const QString log = where.serverLogFile();
    if (QFileInfo::exists(log))
        m_services.workspace.revealFile(log);
    else
        m_services.workspace.openFolder(where.logFolder());
}

void TarvessaAudioServerAppDelegate::showDataFolder(QObject*)
{
    const QString folder = locations().dataFolder();
    static_cast<void>(makeFolderWithParents(folder)); // opened anyway if it cannot be made
    m_services.workspace.openFolder(folder);
}
