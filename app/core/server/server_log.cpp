#include "server/server_log.h"

#include "base/file_calls.h"
#include "base/native_names.h"
#include "base/product.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

LogHandle& LogHandle::operator=(LogHandle&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void LogHandle::flushAndClose()
{
    if (m_fd < 0)
        return;
    // Flushing waits for the disk, a second and more after a server has flooded its log: never
    // on the calling thread, which is the one that draws the menu.
    const int fd = std::exchange(m_fd, -1);
    try {
        std::thread([fd] {
            ::fsync(fd);
            ::close(fd);
        }).detach();
    } catch (const std::system_error&) {
        ::close(fd); // no thread to spare: closed unflushed, which the system does in its time
    }
}

void LogHandle::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

QByteArray launchHeader(const QDateTime& when)
{
    const QString stamp =
        when.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QLatin1Char('Z');
    return QStringLiteral("\n--- %1 launch %2 ---\n").arg(displayName(), stamp).toUtf8();
}

Expected<LogHandle> openServerLog(const QString& logFile, const QString& previousLogFile,
                                  const QDateTime& now)
{
    const QByteArray log = encodeNativeName(logFile);
    const QByteArray previous = encodeNativeName(previousLogFile);

    struct stat info;
    if (::stat(log.constData(), &info) == 0 && info.st_size > ServerLogRotationLimit) {
        ::unlink(previous.constData()); // usually there is none
        if (::rename(log.constData(), previous.constData()) != 0)
            return FileError::fromErrno(
                errno, QStringLiteral("Cannot rotate the server log %1").arg(logFile));
    }

    // Created with the default permissions when missing; a failure shows when it is opened.
    if (::access(log.constData(), F_OK) != 0) {
        const int created = ::open(log.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (created >= 0)
            ::close(created);
    }

    // Opening a FIFO for writing waits for a reader, and a device or socket is no log: only a
    // regular file is used. The open never waits, and the check is on what was opened.
    const FileError notRegular{
        QStringLiteral("The server log %1 is not a regular file").arg(logFile)};
    if (::stat(log.constData(), &info) == 0 && !S_ISREG(info.st_mode))
        return notRegular;
    LogHandle handle(
        ::open(log.constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!handle.isOpen())
        return FileError::fromErrno(errno,
                                    QStringLiteral("Cannot open the server log %1").arg(logFile));
    if (::fstat(handle.fd(), &info) != 0 || !S_ISREG(info.st_mode))
        return notRegular;
    ::fcntl(handle.fd(), F_SETFL, O_APPEND); // back to blocking writes for the server
    if (::lseek(handle.fd(), 0, SEEK_END) < 0)
        return FileError::fromErrno(
            errno, QStringLiteral("Cannot seek in the server log %1").arg(logFile));

    const QByteArray header = launchHeader(now);
    if (const int error = writeAll(handle.fd(), header); error != 0)
        return FileError::fromErrno(
            error, QStringLiteral("Cannot write to the server log %1").arg(logFile));
    return handle;
}
