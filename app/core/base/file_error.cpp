#include "base/file_error.h"

#include <cstring>

FileError FileError::fromErrno(int error, const QString& what)
{
    return FileError{what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error))};
}
