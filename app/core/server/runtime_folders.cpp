#include "server/runtime_folders.h"

#include "base/file_calls.h"
#include "base/native_names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString& path)
{
    return encodeNativeName(path);
}

bool exists(const QString& path)
{
    struct stat info;
    return ::stat(native(path).constData(), &info) == 0;
}

FileError createError(int error, const QString& path)
{
    return FileError::fromErrno(error, QStringLiteral("Cannot create the folder %1").arg(path));
}

FileError refuseSharedFolder(const QString& path, const QString& reason)
{
    return FileError{QStringLiteral("Refusing to use the folder %1: %2").arg(path, reason)};
}

// The Caddy runtime folder may only be a real folder of this user, never a link placed there
// by someone else.
Expected<void> makePrivateSharedFolder(const QString& path)
{
    const QByteArray name = native(path);
    if (::mkdir(name.constData(), 0700) == 0)
        return {};
    if (errno != EEXIST)
        return createError(errno, path);
    struct stat info;
    if (::lstat(name.constData(), &info) != 0)
        return createError(errno, path);
    if (S_ISLNK(info.st_mode))
        return refuseSharedFolder(path, QStringLiteral("it is a symbolic link"));
    if (!S_ISDIR(info.st_mode))
        return createError(ENOTDIR, path);
    if (info.st_uid != ::getuid())
        return refuseSharedFolder(path, QStringLiteral("it belongs to another user"));
    return {};
}

Expected<void> restrictToOwner(const QString& path)
{
    // Opened without following links, so the mode change lands on the folder that was checked.
    const int fd =
        ::open(native(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR)
            return refuseSharedFolder(path, QStringLiteral("it is not a folder"));
        return FileError::fromErrno(errno, QStringLiteral("Cannot open the folder %1").arg(path));
    }
    struct stat info;
    Expected<void> result;
    if (::fstat(fd, &info) != 0)
        result = FileError::fromErrno(errno, QStringLiteral("Cannot read the folder %1").arg(path));
    else if (info.st_uid != ::getuid())
        result = refuseSharedFolder(path, QStringLiteral("it belongs to another user"));
    else if (::fchmod(fd, 0700) != 0)
        result = FileError::fromErrno(
            errno, QStringLiteral("Cannot set the permissions of the folder %1").arg(path));
    ::close(fd);
    return result;
}

} // namespace

Expected<void> migrateLegacyFolders(const RuntimeLocations& locations)
{
    for (const auto& move : locations.legacyMoves()) {
        if (!exists(move.from) || exists(move.to))
            continue;
        const qsizetype slash = move.to.lastIndexOf(QLatin1Char('/'));
        if (Expected<void> made = makeFolderWithParents(move.to.left(slash)); !made.ok())
            return made;
        if (::rename(native(move.from).constData(), native(move.to).constData()) != 0)
            return FileError::fromErrno(
                errno, QStringLiteral("Cannot move %1 to %2").arg(move.from, move.to));
    }
    return {};
}

Expected<void> createRuntimeFolders(const RuntimeLocations& locations)
{
    const QString caddyRuntime = locations.caddyRuntimeFolder();
    for (const QString& folder : locations.runtimeFolders()) {
        const Expected<void> result = folder == caddyRuntime ? makePrivateSharedFolder(folder)
                                                             : makeFolderWithParents(folder);
        if (!result.ok())
            return result;
    }
    return restrictToOwner(caddyRuntime);
}
