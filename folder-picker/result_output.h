#pragma once

#include "folder-picker/picker_result.h"

#include <QByteArray>
#include <QString>
#include <optional>

// Writes the one result line to standard output in a single write and says whether all of it
// was written; when not, standard error says so and the caller exits with status 1, else with
// pickerExitCode(status). When the result cannot be encoded it does not return: it writes the
// fallback line to standard error and exits with status 1, whatever the outcome was.
bool emitResult(PickerStatus status, const std::optional<QByteArray>& path,
                const std::optional<QString>& message);

// For a run ending before any result was written (no display, or the display lost): reports
// that the picker closed unexpectedly. Does nothing once a result was written or attempted.
void emitClosedUnexpectedlyIfSilent();

// Call first thing in main(), before any toolkit: puts /dev/null on each of descriptors 0-2 that
// is closed, so that no connection (the display's) can take one of them and receive the result
// line, and says whether standard output was open. When it was not, standard error says so
// (the message of a failed write) and the caller exits with status 1.
bool guardStandardStreams();

inline constexpr auto EncodingFailureLine = "Unable to encode folder picker result.\n";
inline constexpr auto WriteFailureLine = "Unable to write folder picker result: ";
