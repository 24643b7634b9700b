#include "folder_dialog.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

class FolderDialogTest : public QObject
{
    Q_OBJECT

private slots:
    // What Qt's dialog does not give us by itself: the message above the list, no new-folder
    // button, only the visible folders listed.
    void showsMessageAndVisibleFoldersOnly()
    {
        QTemporaryDir dir;
        QDir(dir.path()).mkpath(QStringLiteral("Albums"));
        QDir(dir.path()).mkpath(QStringLiteral(".cache"));
        QFile(dir.filePath(QStringLiteral("song.flac"))).open(QIODevice::WriteOnly);
        QFileDialog dialog;
        configureFolderDialog(dialog);
        dialog.setDirectory(dir.path());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        auto* message = dialog.findChild<QLabel*>(QStringLiteral("messageLabel"));
        auto* list = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
        QVERIFY(message->isVisible());
        QVERIFY(message->geometry().bottom() < list->mapTo(&dialog, QPoint()).y());
        QVERIFY(!dialog.findChild<QToolButton*>(QStringLiteral("newFolderButton"))->isVisible());
        auto* box = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        QCOMPARE(box->button(QDialogButtonBox::Open)->text(), QStringLiteral("Choose Folder"));

        auto* model = dialog.findChild<QFileSystemModel*>();
        const QModelIndex root = model->index(dir.path());
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(root), 1, 5000);
        QCOMPARE(model->index(0, 0, root).data().toString(), QStringLiteral("Albums"));
    }
};

QTEST_MAIN(FolderDialogTest)
#include "tst_folder_dialog.moc"
