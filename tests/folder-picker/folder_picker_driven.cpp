// The folder picker's one pass with a driver that works the open dialog as a user would, so the
// tests exercise the real dialog, mapping and output without a test hook in the shipped tool.
//   folder_picker_driven choose DIR [NAME]  goes to DIR, clicks NAME in the folder list when
//                                           given, then presses Choose Folder
//   folder_picker_driven cancel             presses Escape
//   folder_picker_driven close CODE         ends the dialog with a result that is neither
#include "folder_picker.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>

// The folder list fills in the background; look again until the row is there.
static void choose(QFileDialog& dialog, const QString& name)
{
    auto* view = dialog.findChild<QAbstractItemView*>(QStringLiteral("treeView"));
    if (!name.isEmpty()) {
        const QModelIndexList rows =
            view->model()->match(view->model()->index(0, 0, view->rootIndex()), Qt::DisplayRole,
                                 name, 1, Qt::MatchExactly);
        if (rows.isEmpty())
            return QTimer::singleShot(20, &dialog, [&dialog, name] { choose(dialog, name); });
        view->scrollTo(rows[0]);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(rows[0]).center());
    }
    auto* box = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    QTest::mouseClick(box->button(QDialogButtonBox::Open), Qt::LeftButton);
}

int main(int argc, char* argv[])
{
    silenceQtDiagnostics();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    return runFolderPicker(app, [&](QFileDialog& dialog) {
        if (args.value(1) == QLatin1String("choose")) {
            dialog.setDirectory(args.value(2));
            choose(dialog, args.value(3));
        } else if (args.value(1) == QLatin1String("cancel")) {
            QWidget* focus = QApplication::focusWidget();
            QTest::keyClick(focus ? focus : &dialog, Qt::Key_Escape);
        } else {
            static_cast<QDialog&>(dialog).done(args.value(2).toInt());
        }
    });
}
