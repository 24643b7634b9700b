#pragma once

#include "platform/login_items.h"

#include <QHash>
#include <QStringList>
#include <functional>

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
    std::optional<QString> registerItem() override;
    std::optional<QString> unregisterItem() override;
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

// The desktop entry format, as far as the autostart entry needs it.
namespace DesktopEntry {
// The raw values of the [Desktop Entry] group, or nothing when the text is not a desktop entry
// file (not UTF-8, a line that is neither a comment, a group nor a key, no such group).
std::optional<QHash<QString, QString>> mainGroup(const QByteArray& contents);
// A string value's escapes (\s \n \t \r \\) undone; other backslashes stay for the Exec rules.
QString unescape(const QString& value);
QString escape(const QString& value);
// An Exec value (already unescaped) split into arguments: quotes removed, field codes dropped,
// %% made %. Nothing when a quote is left open.
std::optional<QStringList> splitExec(const QString& exec);
// One Exec argument, double-quoted so that any path survives (before escape()).
QString quoteExecArgument(const QString& argument);
} // namespace DesktopEntry
