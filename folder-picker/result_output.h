#pragma once

#include "picker_result.h"

#include <QByteArray>
#include <QString>
#include <optional>

// Writes the one result line to standard output in a single write and returns; the caller then
// exits with pickerExitCode(status). When the result cannot be encoded it does not return: it
// writes the fallback line to standard error and exits with status 1, whatever the outcome was.
void emitResult(PickerStatus status, const std::optional<QByteArray>& path,
                const std::optional<QString>& message);

inline constexpr auto EncodingFailureLine = "Unable to encode folder picker result.\n";
