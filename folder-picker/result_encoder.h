#pragma once

#include "folder-picker/picker_result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// The result object as compact JSON: "status", then "path" and "message" when given. Every "/"
// is written as "\/", text outside ASCII as its UTF-8 bytes, control characters escaped. Empty
// when the result is not valid UTF-8 (a path whose bytes are not, a message with a lone
// surrogate), because the server could not read it back as the folder that was chosen.
std::optional<QByteArray> encodePickerResult(PickerStatus status,
                                             const std::optional<QByteArray>& path,
                                             const std::optional<QString>& message);
