#include "folder-picker/result_output.h"

#include "folder-picker/result_encoder.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
std::atomic<bool> attempted{false};
}

// One write(2), so a reader never sees half a line; retried only when nothing was written.
static bool writeOnce(int fd, const char* data, size_t size)
{
    ssize_t written;
    while ((written = ::write(fd, data, size)) < 0 && errno == EINTR) {
    }
    return written == static_cast<ssize_t>(size);
}

bool emitResult(PickerStatus status, const std::optional<QByteArray>& path,
                const std::optional<QString>& message)
{
    attempted = true;
    auto line = encodePickerResult(status, path, message);
    if (!line) {
        writeOnce(STDERR_FILENO, EncodingFailureLine, std::strlen(EncodingFailureLine));
        // Nothing is buffered, and leaving without unwinding skips tearing down the live
        // QApplication behind the caller's back.
        ::_exit(1);
    }
    line->append('\n');
    if (writeOnce(STDOUT_FILENO, line->constData(), static_cast<size_t>(line->size())))
        return true;
    // The caller learns nothing from standard output, so standard error says why.
    const int error = errno;
    const QByteArray why =
        QByteArray(WriteFailureLine) + (error ? std::strerror(error) : "") + '\n';
    writeOnce(STDERR_FILENO, why.constData(), static_cast<size_t>(why.size()));
    return false;
}

void emitClosedUnexpectedlyIfSilent()
{
    if (!attempted.exchange(true))
        emitResult(PickerStatus::Error, std::nullopt, QString::fromUtf8(ClosedUnexpectedlyMessage));
}

bool guardStandardStreams()
{
    bool outputOpen = true;
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        outputOpen = outputOpen && fd != STDOUT_FILENO;
        // The lowest free descriptor is this one, as the lower ones are open by now.
        const int null = ::open("/dev/null", O_RDWR);
        if (null != fd && null >= 0) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
    if (!outputOpen) {
        const QByteArray why = QByteArray(WriteFailureLine) + std::strerror(EBADF) + '\n';
        writeOnce(STDERR_FILENO, why.constData(), static_cast<size_t>(why.size()));
    }
    return outputOpen;
}
