#include "folder-picker/folder_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QStandardPaths>
#include <QToolButton>
#include <vector>

// Qt's dialog lays itself out on a grid with no free row, so the message goes into a new first
// row and everything else moves down one.
static void addMessageRow(QFileDialog& dialog)
{
    auto* label = new QLabel(QString::fromUtf8(FolderDialogMessage), &dialog);
    label->setObjectName(QStringLiteral("messageLabel"));
    label->setWordWrap(true);
    auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
    if (!grid) {
        label->hide();
        return;
    }
    struct Cell
    {
        QLayoutItem* item;
        int row, column, rowSpan, columnSpan;
    };
    std::vector<Cell> cells;
    while (grid->count() > 0) {
        Cell cell{};
        grid->getItemPosition(0, &cell.row, &cell.column, &cell.rowSpan, &cell.columnSpan);
        cell.item = grid->takeAt(0);
        cells.push_back(cell);
    }
    const int columns = grid->columnCount();
    for (const auto& cell : cells)
        grid->addItem(cell.item, cell.row + 1, cell.column, cell.rowSpan, cell.columnSpan);
    grid->addWidget(label, 0, 0, 1, columns);
}

void configureFolderDialog(QFileDialog& dialog)
{
    // Qt's own dialog rather than the desktop's, so it looks and behaves the same everywhere.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setWindowTitle(QString::fromUtf8(FolderDialogTitle));
    dialog.setLabelText(QFileDialog::Accept, QString::fromUtf8(FolderDialogAcceptLabel));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    // ReadOnly turns off create, rename and delete but only greys the new-folder button out.
    dialog.setOption(QFileDialog::ReadOnly);
    if (auto* newFolder = dialog.findChild<QToolButton*>(QStringLiteral("newFolderButton")))
        newFolder->hide();
    addMessageRow(dialog);
    // Not the working folder, which the server chooses (the application's own bundle): there,
    // "Choose Folder" at once would make the application the music library.
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    dialog.setDirectory(!music.isEmpty() && QFileInfo(music).isDir() ? music : QDir::homePath());
}
