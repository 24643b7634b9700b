#include "controller/launch_options.h"

#include <QCommandLineParser>

#include <cstring>

LaunchOptions parseLaunchOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    // "-stylesheet" is one (Qt) option, not -s -t -y ... with a -h among them.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Runs your own music server and shows its state in the tray."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Print this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Print the name and version and exit."));
    const QCommandLineOption autostart(
        QStringLiteral("autostart"),
        QStringLiteral("Started at login: open no browser, wait for the tray."));
    const QCommandLineOption quit(QStringLiteral("quit"),
                                  QStringLiteral("Quit the running instance and its server."));
    const QCommandLineOption status(
        QStringLiteral("status"),
        QStringLiteral("Print the server's status and address; exit 0 running, 1 failed, 3 "
                       "stopped or starting, 4 not running."));
    const QCommandLineOption start(
        QStringLiteral("start"),
        QStringLiteral("Start the server, or the application without opening the browser."));
    const QCommandLineOption stop(QStringLiteral("stop"), QStringLiteral("Stop the server."));
    const QCommandLineOption restart(QStringLiteral("restart"),
                                     QStringLiteral("Restart the server."));
    const QCommandLineOption open(
        QStringLiteral("open"),
        QStringLiteral(
            "Open the web interface, starting the server or the application if needed."));
    parser.addOptions({help, version, autostart, quit, status, start, stop, restart, open});
    parser.parse(arguments);

    LaunchOptions options;
    options.helpText = parser.helpText();
    options.launchedAtLogin = parser.isSet(autostart);
    for (const QString& name : parser.unknownOptionNames())
        options.unknownOptions.append(
            (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name);
    for (const QString& argument : parser.positionalArguments())
        options.unknownOptions.append(argument);
    if (parser.isSet(help))
        options.action = LaunchOptions::Action::ShowHelp;
    else if (parser.isSet(version))
        options.action = LaunchOptions::Action::ShowVersion;
    else if (parser.isSet(quit))
        options.action = LaunchOptions::Action::Quit;
    else if (parser.isSet(status))
        options.action = LaunchOptions::Action::Status;
    else if (parser.isSet(stop))
        options.action = LaunchOptions::Action::Stop;
    else if (parser.isSet(restart))
        options.action = LaunchOptions::Action::Restart;
    else if (parser.isSet(start))
        options.action = LaunchOptions::Action::Start;
    else if (parser.isSet(open))
        options.action = LaunchOptions::Action::Open;
    return options;
}

QByteArray preferredPlatforms(bool displaySet, bool platformChosen)
{
    if (platformChosen || !displaySet)
        return {};
    return QByteArrayLiteral("xcb;wayland");
}

ToolkitArguments::ToolkitArguments(int argc, char* argv[], bool displaySet,
                                   bool platformInEnvironment)
    : m_pointers(argv, argv + argc)
{
    bool platformChosen = platformInEnvironment;
    for (int i = 0; i < argc && !platformChosen; ++i)
        platformChosen = std::strcmp(argv[i], m_flag) == 0;
    m_platforms = preferredPlatforms(displaySet, platformChosen);
    if (!m_platforms.isEmpty() && argc > 0)
        m_pointers.insert(m_pointers.begin() + 1, {m_flag, m_platforms.data()});
    m_count = static_cast<int>(m_pointers.size());
    m_pointers.push_back(nullptr);
}
