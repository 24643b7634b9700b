#include "base/base_folders.h"

#include "base/native_names.h"

#include <QDir>

#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return decodeNativeName(found->pw_dir);
    return QDir::rootPath();
}

QString BaseFolders::xdgFolder(const char* variable, const char* fallbackUnderHome) const
{
    // The XDG rules ignore a value that is not an absolute path.
    const QString value = m_environment.value(QString::fromLatin1(variable));
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    // A relative home would be read from each process's own working folder: the server's is not
    // the application's.
    QString home = m_environment.value(QStringLiteral("HOME"));
    if (!QDir::isAbsolutePath(home))
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
    // What lives here guards against a second instance: a folder we cannot write in would
    // leave no guard at all, and one that anybody may write in lets another user plant a lock.
    const QString value = m_environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!QDir::isAbsolutePath(value))
        return {};
    const QByteArray name = encodeNativeName(value);
    struct stat info;
    if (::stat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & S_IWOTH) ||
        ::faccessat(AT_FDCWD, name.constData(), W_OK | X_OK, AT_EACCESS) != 0)
        return {};
    return QDir::cleanPath(value);
}

QString BaseFolders::resourcesFolder() const
{
    return QDir::cleanPath(m_bundleFolder + QStringLiteral("/Resources"));
}

QString BaseFolders::infoJsonPath() const
{
    return QDir::cleanPath(m_bundleFolder + QStringLiteral("/Info.json"));
}
