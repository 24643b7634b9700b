// The folder picker's one pass with a driver that works the open dialog as a user would, so the
// tests exercise the real dialog, mapping and output without a test hook in the shipped tool.
//   folder_picker_driven choose PATH   types PATH as the folder name and presses Choose Folder
//   folder_picker_driven cancel        presses Escape
//   folder_picker_driven close CODE    ends the dialog with a result that is neither button
#include "folder_picker.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    const QString value = args.value(2);
    return runFolderPicker(app, [&](QFileDialog& dialog) {
        if (mode == QStringLiteral("choose")) {
            dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(value);
            auto* box = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
            QTest::mouseClick(box->button(QDialogButtonBox::Open), Qt::LeftButton);
        } else if (mode == QStringLiteral("cancel")) {
            QWidget* focus = QApplication::focusWidget();
            QTest::keyClick(focus ? focus : &dialog, Qt::Key_Escape);
        } else {
            dialog.done(value.toInt());
        }
    });
}
