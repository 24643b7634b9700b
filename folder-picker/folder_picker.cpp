#include "folder-picker/folder_picker.h"

#include "folder-picker/folder_dialog.h"
#include "folder-picker/picker_result.h"
#include "folder-picker/result_output.h"

#include <QApplication>
#include <QFileDialog>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

void silenceQtDiagnostics()
{
    // Qt aborts after a fatal message (no display to connect to), and its display plugins call
    // exit(1) when the display goes away: either way the caller still gets its answer.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString&) {
        if (type == QtFatalMsg) {
            emitClosedUnexpectedlyIfSilent();
            ::_exit(1);
        }
    });
    std::atexit(emitClosedUnexpectedlyIfSilent);
    // A reader that has gone must show as a failed write, not end the picker silently.
    std::signal(SIGPIPE, SIG_IGN);
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
    if (!emitResult(outcome.status, outcome.path, outcome.message))
        return 1;
    return pickerExitCode(outcome.status);
}
