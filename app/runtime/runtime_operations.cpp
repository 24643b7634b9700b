// The server's locations, the preparation of its folders and log, and its environment.
#include "controller/app_delegate.h"
#include "server/locations.h"
#include "server/runtime_folders.h"
#include "server/server_environment.h"

RuntimeLocations TarvessaAudioServerAppDelegate::locations() const
{
    return RuntimeLocations(m_services.folders);
}

QUrl TarvessaAudioServerAppDelegate::serverEntryURL() const
{
    return QUrl::fromLocalFile(locations().serverEntryScript());
}

QUrl TarvessaAudioServerAppDelegate::serverLogURL() const
{
    return QUrl::fromLocalFile(locations().serverLogFile());
}

Expected<void> TarvessaAudioServerAppDelegate::migrateLegacyRuntimeDirectoriesIfNeeded()
{
    return migrateLegacyFolders(locations());
}

Expected<void> TarvessaAudioServerAppDelegate::createRuntimeDirectories()
{
    return createRuntimeFolders(locations());
}

Expected<LogHandle> TarvessaAudioServerAppDelegate::openLogHandle()
{
    const RuntimeLocations where = locations();
    return openServerLog(where.serverLogFile(), where.previousServerLogFile());
}

QProcessEnvironment TarvessaAudioServerAppDelegate::serverEnvironment() const
{
    return buildServerEnvironment(m_services.folders.environment(), locations(), serverPort);
}
