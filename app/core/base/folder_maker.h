#pragma once

#include "base/file_error.h"

#include <QString>

// mkdir -p: every missing component is created; an existing folder counts as created.
Expected<void> makeFolderWithParents(const QString& path);
