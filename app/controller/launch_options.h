#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

struct LaunchOptions
{
    enum class Action
    {
        Run,         // start, or ask the running instance to reopen
        ShowHelp,    // --help: print the usage and exit
        ShowVersion, // --version: print the name and version and exit
        Quit,        // --quit: ask the running instance to quit, wait until it has gone
        // Asked of the running instance, as its menu's entries would be; with none running,
        // --open and --start launch the application (--start opening no browser).
        Status,  // --status: print its status line and address
        Start,   // --start
        Stop,    // --stop
        Restart, // --restart
        Open,    // --open
    };
    Action action = Action::Run;
    bool launchedAtLogin = false; // --autostart, written on the autostart entry's Exec line
    QStringList unknownOptions;   // as typed, e.g. "--frobnicate"
    QString helpText;             // the usage, every option on one line
};

// arguments: the program's own (the first is the program). Qt's options are not known here: run
// this on QApplication::arguments(), which has taken them out, or only to ask what is wanted.
LaunchOptions parseLaunchOptions(const QStringList& arguments);

// The Qt platforms to ask for, in order, or empty to leave Qt's own choice. Where an X display
// is there (X11, or Xwayland in a Wayland session), X11 comes first: on Wayland a tray item
// clicked through the panel's menu carries no input serial, so it may not set the clipboard, and
// a menu shown by the application itself becomes an ordinary window. Without a display, Wayland.
// A platform the user chose (QT_QPA_PLATFORM or -platform) is left alone.
QByteArray preferredPlatforms(bool displaySet, bool platformChosen);

// The toolkit's command line: the program's own, with "-platform <preferredPlatforms()>" put
// after the program's name when those ask for one. The platform is asked for there, not in the
// environment, so that the server and the folder picker it runs inherit the environment
// untouched. count() and data() are what QApplication takes; they live as long as this object.
class ToolkitArguments
{
public:
    ToolkitArguments(int argc, char* argv[], bool displaySet, bool platformInEnvironment);
    ToolkitArguments(const ToolkitArguments&) = delete;
    ToolkitArguments& operator=(const ToolkitArguments&) = delete;

    int& count() { return m_count; }
    char** data() { return m_pointers.data(); }

private:
    char m_flag[10] = "-platform";
    QByteArray m_platforms;
    std::vector<char*> m_pointers;
    int m_count = 0;
};
