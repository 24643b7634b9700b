#include "folder-picker/picker_result.h"

#include <QDialog>
#include <QFile>
#include <cstdlib>
#include <memory>

QString pickerStatusName(PickerStatus status)
{
    switch (status) {
    case PickerStatus::Selected:
        return QStringLiteral("selected");
    case PickerStatus::Cancelled:
        return QStringLiteral("cancelled");
    case PickerStatus::Error:
        break;
    }
    return QStringLiteral("error");
}

int pickerExitCode(PickerStatus status)
{
    switch (status) {
    case PickerStatus::Selected:
        return 0;
    case PickerStatus::Cancelled:
        return 2;
    case PickerStatus::Error:
        break;
    }
    return 1;
}

static PickerOutcome errorOutcome(const char* message)
{
    return {PickerStatus::Error, std::nullopt, QString::fromUtf8(message)};
}

PickerOutcome mapDialogOutcome(int dialogResult, const std::optional<QUrl>& chosen)
{
    if (dialogResult == QDialog::Rejected)
        return {PickerStatus::Cancelled, std::nullopt, std::nullopt};
    if (dialogResult != QDialog::Accepted)
        return errorOutcome(ClosedUnexpectedlyMessage);
    if (!chosen || !chosen->isLocalFile())
        return errorOutcome(NotLocalFolderMessage);
    const auto path = canonicalNativePath(QFile::encodeName(chosen->toLocalFile()));
    if (!path)
        return errorOutcome(NotLocalFolderMessage);
    return {PickerStatus::Selected, *path, std::nullopt};
}

std::optional<QByteArray> canonicalNativePath(const QByteArray& path)
{
    // realpath(3) on the bytes rather than QFileInfo::canonicalFilePath(): a link may point to
    // a folder whose name is not valid UTF-8, and decoding that into a QString would silently
    // replace bytes and name a different folder. A NUL would cut the path short.
    if (path.isEmpty() || path.contains('\0'))
        return std::nullopt;
    const std::unique_ptr<char, decltype(&std::free)> resolved(
        ::realpath(path.constData(), nullptr), &std::free);
    if (!resolved)
        return std::nullopt;
    return QByteArray(resolved.get());
}
