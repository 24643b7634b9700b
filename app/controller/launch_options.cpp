#include "launch_options.h"

#include <QCommandLineParser>

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
    parser.addOptions({help, version, autostart, quit});
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
    return options;
}

QByteArray preferredPlatforms(bool displaySet, bool platformChosen)
{
    if (platformChosen || !displaySet)
        return {};
    return QByteArrayLiteral("xcb;wayland");
}
