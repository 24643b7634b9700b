#pragma once

#include <functional>

class QApplication;
class QFileDialog;

// Keeps Qt's own diagnostics off standard error, where the server expects nothing unless the
// result could not be encoded or written, and makes sure every run ends with a result line,
// even one Qt ends itself. Call before the QApplication exists.
void silenceQtDiagnostics();

// One pass of the tool: show the dialog, report the outcome, return the exit status. `drive`
// is empty in the shipped tool; tests pass one that works the open dialog as a user would.
int runFolderPicker(QApplication& app, const std::function<void(QFileDialog&)>& drive = {});
