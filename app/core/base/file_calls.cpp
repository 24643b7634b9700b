#include "base/file_calls.h"

#include "base/native_names.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

Expected<void> makeFolderWithParents(const QString& path)
{
    const QByteArray full = encodeNativeName(path);
    for (qsizetype end = 1; end <= full.size(); ++end) {
        if (end < full.size() && full.at(end) != '/')
            continue;
        const QByteArray prefix = full.left(end);
        if (::mkdir(prefix.constData(), 0777) == 0)
            continue;
        const int error = errno;
        struct stat info;
        if (error == EEXIST && ::stat(prefix.constData(), &info) == 0 && S_ISDIR(info.st_mode))
            continue;
        return FileError::fromErrno(
            error == EEXIST ? EEXIST : error,
            QStringLiteral("Cannot create the folder %1").arg(decodeNativeName(prefix)));
    }
    return {};
}

int writeAll(int fd, QByteArrayView bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.data() + written, static_cast<size_t>(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        written += n;
    }
    return 0;
}
