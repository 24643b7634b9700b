#include "folder-picker/folder_picker.h"
#include "folder-picker/result_output.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    if (!guardStandardStreams())
        return 1;
    silenceQtDiagnostics();
    QApplication app(argc, argv);
    return runFolderPicker(app);
}
