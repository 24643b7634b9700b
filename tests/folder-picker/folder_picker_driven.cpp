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

static void pressChoose(QFileDialog& dialog)
{
    auto* box = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    QTest::mouseClick(box->button(QDialogButtonBox::Open), Qt::LeftButton);
}

// The folder list fills in the background; look again until the row is there.
static void clickRowThenChoose(QFileDialog& dialog, const QString& name)
{
    auto* view = dialog.findChild<QAbstractItemView*>(QStringLiteral("treeView"));
    if (!view->isVisible())
        view = dialog.findChild<QAbstractItemView*>(QStringLiteral("listView"));
    const QModelIndex root = view->rootIndex();
    for (int row = 0; row < view->model()->rowCount(root); ++row) {
        const QModelIndex index = view->model()->index(row, 0, root);
        if (index.data().toString() == name) {
            view->scrollTo(index);
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                              view->visualRect(index).center());
            pressChoose(dialog);
            return;
        }
    }
    QTimer::singleShot(20, &dialog, [&dialog, name] { clickRowThenChoose(dialog, name); });
}

int main(int argc, char* argv[])
{
    silenceQtDiagnostics();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    return runFolderPicker(app, [&](QFileDialog& dialog) {
        if (mode == QStringLiteral("choose")) {
            dialog.setDirectory(args.value(2));
            if (args.size() > 3)
                clickRowThenChoose(dialog, args.value(3));
            else
                pressChoose(dialog);
        } else if (mode == QStringLiteral("cancel")) {
            QWidget* focus = QApplication::focusWidget();
            QTest::keyClick(focus ? focus : &dialog, Qt::Key_Escape);
        } else {
            static_cast<QDialog&>(dialog).done(args.value(2).toInt());
        }
    });
}
