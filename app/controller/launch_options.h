#pragma once

#include <QString>
#include <QStringList>

struct LaunchOptions
{
    enum class Action
    {
        Run,         // start, or ask the running instance to reopen
        ShowHelp,    // --help: print the usage and exit
        ShowVersion, // --version: print the name and version and exit
        Quit,        // --quit: ask the running instance to quit, wait until it has gone
    };
    Action action = Action::Run;
    bool launchedAtLogin = false; // --autostart, written on the autostart entry's Exec line
    QStringList unknownOptions;   // as typed, e.g. "--frobnicate"
    QString helpText;             // the usage, every option on one line
};

// arguments: the program's own (the first is the program). Qt's options are not known here: run
// this on QApplication::arguments(), which has taken them out, or only to ask what is wanted.
LaunchOptions parseLaunchOptions(const QStringList& arguments);
