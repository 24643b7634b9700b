#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

// How one run of the folder picker ended, as the server reads it.
enum class PickerStatus
{
    Selected,
    Cancelled,
    Error,
};

// The word the server sees in "status".
QString pickerStatusName(PickerStatus status);
// The exit status that repeats the outcome: 0 selected, 1 error, 2 cancelled.
int pickerExitCode(PickerStatus status);

// What the tool reports: a path only with Selected, a message only with Error.
struct PickerOutcome
{
    PickerStatus status = PickerStatus::Error;
    std::optional<QByteArray> path; // native bytes, which need not be valid UTF-8
    std::optional<QString> message;
};

inline constexpr auto NotLocalFolderMessage =
    "The selected item is not a local or mounted directory.";
inline constexpr auto ClosedUnexpectedlyMessage = "The folder picker closed unexpectedly.";

// Turns the dialog's result code and chosen location into the outcome to report. A chosen
// folder is reported with links resolved, as the bytes the file system uses for it.
PickerOutcome mapDialogOutcome(int dialogResult, const std::optional<QUrl>& chosen);

// The absolute path with every link, "." and ".." resolved, read from the file system as raw
// bytes; empty when the folder cannot be reached.
std::optional<QByteArray> canonicalNativePath(const QByteArray& path);
