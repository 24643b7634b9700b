#include "folder_picker.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    silenceQtDiagnostics();
    QApplication app(argc, argv);
    return runFolderPicker(app);
}
