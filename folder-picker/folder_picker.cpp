#include "folder_picker.h"

#include "folder_dialog.h"
#include "picker_result.h"
#include "result_output.h"

#include <QApplication>
#include <QFileDialog>
#include <QTimer>

void silenceQtDiagnostics()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}

int runFolderPicker(QApplication& app, const std::function<void(QFileDialog&)>& drive)
{
    Q_UNUSED(app);
    QFileDialog dialog;
    configureFolderDialog(dialog);
    // The server starts us in the background; the dialog has to come up in front of its window.
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    if (drive)
        QTimer::singleShot(0, &dialog, [&dialog, &drive] { drive(dialog); });

    const int result = dialog.exec();
    std::optional<QUrl> chosen;
    if (const auto urls = dialog.selectedUrls(); result == QDialog::Accepted && !urls.isEmpty())
        chosen = urls.first();
    const auto outcome = mapDialogOutcome(result, chosen);
    emitResult(outcome.status, outcome.path, outcome.message);
    return pickerExitCode(outcome.status);
}
