#pragma once

#include <QProcessEnvironment>
#include <QString>

// The places the application's own folders are derived from: the XDG base folders of the
// environment it was given, the bundle it runs from, and the shared temporary folder.
class BaseFolders
{
public:
    BaseFolders(QProcessEnvironment environment, QString bundleFolder,
                QString sharedTempFolder = QStringLiteral("/tmp"));

    // The bundle that holds the running executable: the parent of its "bin" folder.
    static QString bundleOfRunningExecutable();
    // The home folder of the account's passwd entry, for when HOME is unset or not absolute.
    static QString passwdHome();

    QString dataHome() const;    // $XDG_DATA_HOME or ~/.local/share
    QString cacheHome() const;   // $XDG_CACHE_HOME or ~/.cache
    QString stateHome() const;   // $XDG_STATE_HOME or ~/.local/state
    QString configHome() const;  // $XDG_CONFIG_HOME or ~/.config
    QString runtimeHome() const; // $XDG_RUNTIME_DIR if ours, writable, not open to all; else empty
    QString resourcesFolder() const;
    QString infoJsonPath() const;
    QString sharedTempFolder() const { return m_sharedTempFolder; }
    const QProcessEnvironment& environment() const { return m_environment; }

private:
    QString xdgFolder(const char* variable, const char* fallbackUnderHome) const;

    QProcessEnvironment m_environment;
    QString m_bundleFolder;
    QString m_sharedTempFolder;
};
