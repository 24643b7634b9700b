#include "base_folders.h"

#include "native_names.h"

#include <QDir>

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

BaseFolders::BaseFolders(QProcessEnvironment environment, QString bundleFolder,
                         QString sharedTempFolder)
    : m_environment(std::move(environment)), m_bundleFolder(std::move(bundleFolder)),
      m_sharedTempFolder(std::move(sharedTempFolder))
{}

QString BaseFolders::bundleOfRunningExecutable()
{
    // /proc/self/exe is the executable with every link resolved, so a link from /usr/bin
    // still finds the bundle. Read as bytes: a bundle folder's name need not be UTF-8.
    char* executable = ::realpath("/proc/self/exe", nullptr);
    const QString path = executable ? decodeNativeName(executable) : QString();
    std::free(executable);
    return QDir::cleanPath(path.left(path.lastIndexOf(QLatin1Char('/'))) + QStringLiteral("/.."));
}

QString BaseFolders::passwdHome()
{
    // Without HOME, Qt falls back to "/"; the account's own entry names the real home.
    const passwd* entry = ::getpwuid(::getuid());
    if (entry && entry->pw_dir && entry->pw_dir[0] == '/')
        return decodeNativeName(entry->pw_dir);
    return QDir::homePath();
}

QString BaseFolders::xdgFolder(const char* variable, const char* fallbackUnderHome) const
{
    // The XDG rules ignore a value that is not an absolute path.
    const QString value = m_environment.value(QString::fromLatin1(variable));
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    QString home = m_environment.value(QStringLiteral("HOME"));
    if (home.isEmpty())
        home = passwdHome();
    return QDir::cleanPath(home + QLatin1Char('/') + QLatin1String(fallbackUnderHome));
}

QString BaseFolders::dataHome() const
{
    return xdgFolder("XDG_DATA_HOME", ".local/share");
}

QString BaseFolders::cacheHome() const
{
    return xdgFolder("XDG_CACHE_HOME", ".cache");
}

QString BaseFolders::stateHome() const
{
    return xdgFolder("XDG_STATE_HOME", ".local/state");
}

QString BaseFolders::configHome() const
{
    return xdgFolder("XDG_CONFIG_HOME", ".config");
}

QString BaseFolders::runtimeHome() const
{
    const QString value = m_environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    return QDir::isAbsolutePath(value) ? QDir::cleanPath(value) : QString();
}

QString BaseFolders::resourcesFolder() const
{
    return QDir::cleanPath(m_bundleFolder + QStringLiteral("/Resources"));
}

QString BaseFolders::infoJsonPath() const
{
    return QDir::cleanPath(m_bundleFolder + QStringLiteral("/Info.json"));
}
