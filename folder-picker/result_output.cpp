#include "result_output.h"

#include "result_encoder.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

// One write(2), so a reader never sees half a line; retried only when nothing was written.
static void writeOnce(int fd, const char* data, size_t size)
{
    while (::write(fd, data, size) < 0 && errno == EINTR) {
    }
}

void emitResult(PickerStatus status, const std::optional<QByteArray>& path,
                const std::optional<QString>& message)
{
    auto line = encodePickerResult(status, path, message);
    if (!line) {
        writeOnce(STDERR_FILENO, EncodingFailureLine, std::strlen(EncodingFailureLine));
        // Nothing is buffered, and leaving without unwinding skips tearing down the live
        // QApplication behind the caller's back.
        ::_exit(1);
    }
    line->append('\n');
    writeOnce(STDOUT_FILENO, line->constData(), static_cast<size_t>(line->size()));
}
