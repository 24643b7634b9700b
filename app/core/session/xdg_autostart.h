#pragma once

#include "session/login_items.h"

#include <QStringList>
#include <functional>
#include <optional>

class BaseFolders;
class Workspace;

// The login item as the freedesktop autostart entry
// $XDG_CONFIG_HOME/autostart/io.tarvessa.tarvessa-audio-server.desktop, read afresh on every call.
class XdgAutostartService final : public LoginItemService
{
public:
    // Starts a program detached from the application; false when it could not be started.
    using ProgramStarter =
        std::function<bool(const QString& program, const QStringList& arguments)>;

    // The executable is the absolute path the entry starts; the environment of the folders
    // supplies PATH and XDG_CURRENT_DESKTOP.
    XdgAutostartService(const BaseFolders& folders, QString executable, Workspace& workspace,
                        ProgramStarter startProgram = startDetached);

    int status() override;
    Expected<void> registerItem() override;
    Expected<void> unregisterItem() override;
    void openSettings() override;
    QString watchedFolder() const override { return autostartFolder(); }

    QString autostartFolder() const;
    QString entryPath() const;
    // The entry as registerItem() writes it.
    QByteArray entryContents() const;

    static bool startDetached(const QString& program, const QStringList& arguments);

private:
    QString findProgram(const QString& name) const;

    const BaseFolders& m_folders;
    QString m_executable;
    Workspace& m_workspace;
    ProgramStarter m_startProgram;
};
