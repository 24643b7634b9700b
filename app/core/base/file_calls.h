#pragma once

#include "base/file_error.h"

#include <QByteArrayView>
#include <QString>

// mkdir -p: every missing component is created; an existing folder counts as created.
Expected<void> makeFolderWithParents(const QString& path);

// Writes every byte to `fd`, again after a signal or a short write. Returns 0, or the errno of
// the write that failed (EIO for one that wrote nothing).
int writeAll(int fd, QByteArrayView bytes);
