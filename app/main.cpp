// The composition root: builds the application's objects, hands each its dependencies and runs
// the event loop.
#include "base/base_folders.h"
#include "base/native_names.h"
#include "base/product.h"
#include "controller/app_delegate.h"
#include "controller/launch_options.h"
#include "controller/quit_signals.h"
#include "controller/remote_commands.h"
#include "desktop/desktop_services.h"
#include "desktop/status_notifier_item.h"
#include "desktop/tray_host.h"
#include "session/single_instance.h"
#include "session/xdg_autostart.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace {
// The quit stops the server first, which may take until its forced kill (12 s).
constexpr int QuitWaitMs = 20000;
// answerCommandLine()'s word that this process is to become the instance, as a launch does.
constexpr int ContinueLaunch = -1;

// Where the single-instance lock and socket live: the runtime folder, else the cache.
QString instanceFolder(const BaseFolders& folders)
{
    QString folder = folders.runtimeHome();
    if (folder.isEmpty()) {
        folder = folders.cacheHome();
        QDir().mkpath(folder);
    }
    return folder;
}

// --help, --version, --quit and the commands to the running instance start nothing and need no
// display (a QApplication would insist on one): they run with a plain QCoreApplication. Returns
// the exit status, or ContinueLaunch for --open and --start with no instance running.
int answerCommandLine(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(displayName());
    const LaunchOptions options = parseLaunchOptions(QCoreApplication::arguments());
    switch (options.action) {
    case LaunchOptions::Action::ShowHelp:
        std::fputs(qPrintable(options.helpText), stdout);
        return 0;
    case LaunchOptions::Action::ShowVersion:
        std::printf("%s %s\n", DisplayName, TARVESSA_VERSION);
        return 0;
    default:
        break;
    }
    // Read as the running instance reads it, or a home that is not UTF-8 names another folder.
    const BaseFolders folders(nativeSystemEnvironment(), BaseFolders::bundleOfRunningExecutable());
    SingleInstance instance(instanceFolder(folders));
    using Action = LaunchOptions::Action;
    using Command = SingleInstance::Command;
    if (options.action != Action::Quit)
        return askRunningInstance(instance, options.action == Action::Status    ? Command::Status
                                            : options.action == Action::Start   ? Command::Start
                                            : options.action == Action::Stop    ? Command::Stop
                                            : options.action == Action::Restart ? Command::Restart
                                                                                : Command::Open)
            .value_or(ContinueLaunch);
    switch (instance.requestQuit(QuitWaitMs)) {
    case SingleInstance::QuitOutcome::Gone:
        return 0;
    case SingleInstance::QuitOutcome::NoneRunning:
        std::fprintf(stderr, "%s: --quit: it is not running\n", DisplayName);
        return 1;
    case SingleInstance::QuitOutcome::NoAnswer:
        std::fprintf(stderr, "%s: --quit: %s\n", DisplayName, qPrintable(instance.errorText()));
        return 1;
    case SingleInstance::QuitOutcome::StillRunning:
        std::fprintf(stderr, "%s: --quit: asked to quit, still running after %d s\n", DisplayName,
                     QuitWaitMs / 1000);
        return 1;
    }
    return 1;
}

// Becomes the one instance, or hands the launch to the one there: the exit status then, else
// ContinueLaunch (also when no lock can be had, so that the application runs all the same).
int claimInstance(SingleInstance& instance)
{
    switch (instance.claim()) {
    case SingleInstance::Outcome::ReopenSent:
        return 0;
    case SingleInstance::Outcome::HolderNotAnswering:
        std::fprintf(stderr, "%s: not starting a second instance: %s\n", DisplayName,
                     qPrintable(instance.errorText()));
        return 1;
    case SingleInstance::Outcome::Unavailable:
        std::fprintf(stderr, "%s: cannot guard against a second instance: %s\n", DisplayName,
                     qPrintable(instance.errorText()));
        break;
    case SingleInstance::Outcome::Primary:
        break;
    }
    return ContinueLaunch;
}

// What asks the controller from outside: the quit signals, the application's end, and the
// launches after this one.
void routeRequests(QApplication& application, QuitSignals& quitSignals, SingleInstance& instance,
                   TarvessaAudioServerAppDelegate& controller)
{
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &application,
                     [] { QCoreApplication::quit(); });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &controller,
                     &TarvessaAudioServerAppDelegate::applicationWillTerminate);
    QObject::connect(&instance, &SingleInstance::reopenRequested, &controller,
                     &TarvessaAudioServerAppDelegate::applicationShouldHandleReopen);
    // `--quit` from another launch: the same way out as the menu's Quit.
    QObject::connect(&instance, &SingleInstance::quitRequested, &application,
                     [] { QCoreApplication::quit(); });
    // --status, --start, --stop, --restart and --open from another launch.
    instance.setCommandHandler([&controller](SingleInstance::Command command) {
        return answerCommand(controller, command);
    });
}
} // namespace

int main(int argc, char* argv[])
{
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments.append(QString::fromLocal8Bit(argv[i]));
    if (parseLaunchOptions(rawArguments).action != LaunchOptions::Action::Run) {
        if (const int status = answerCommandLine(argc, argv); status != ContinueLaunch)
            return status;
    }
    // Taken before the toolkit starts: it removes the launch's startup token (DESKTOP_STARTUP_ID,
    // XDG_ACTIVATION_TOKEN) from the process once it has used it, and the server inherits all.
    QProcessEnvironment inherited = nativeSystemEnvironment();

    ToolkitArguments toolkitArguments(argc, argv, qEnvironmentVariableIsSet("DISPLAY"),
                                      qEnvironmentVariableIsSet("QT_QPA_PLATFORM"));
    QApplication application(toolkitArguments.count(), toolkitArguments.data());
    QApplication::setApplicationName(displayName());
    QApplication::setDesktopFileName(applicationId());
    // Closing an alert must not end a tray application that has no other window.
    QApplication::setQuitOnLastWindowClosed(false);

    // An unknown option still starts the application: an autostart entry written by another
    // version may carry an option this one lacks, and the server must start at login all the same.
    const LaunchOptions options = parseLaunchOptions(QApplication::arguments());
    for (const QString& unknown : options.unknownOptions)
        std::fprintf(stderr, "%s: unknown option %s, ignored (--help lists the options)\n",
                     DisplayName, qPrintable(unknown));

    const BaseFolders folders(std::move(inherited), BaseFolders::bundleOfRunningExecutable());

    SingleInstance instance(instanceFolder(folders));
    if (const int status = claimInstance(instance); status != ContinueLaunch)
        return status;

    MessageBoxAlerts alerts;
    DesktopWorkspace workspace;
    SystemClipboard clipboard;
    XdgAutostartService loginItems(
        folders, QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath(), workspace);
    TarvessaAudioServerAppDelegate controller(
        {alerts, workspace, clipboard, loginItems, folders, [] { QCoreApplication::quit(); },
         [] { return makeStatusItem(QDBusConnection::sessionBus()); }});

    QuitSignals quitSignals;
    routeRequests(application, quitSignals, instance, controller);

    TrayHostWatch trayHost(QDBusConnection::sessionBus(), TrayHostWatch::XEmbed::Watched);
    QObject::connect(&trayHost, &TrayHostWatch::hostAppeared, &controller,
                     &TarvessaAudioServerAppDelegate::trayHostAppeared);
    QObject::connect(&trayHost, &TrayHostWatch::noHostYet, &controller,
                     [] { notifyNoTrayIcon(QDBusConnection::sessionBus()); });
    // Launching has finished once the event loop runs. A tray host already there is found first,
    // so that the icon is shown before the server's start rather than after it.
    QTimer::singleShot(0, &controller, [&controller, &options, &trayHost] {
        trayHost.start();
        // --start, with no instance before it, starts the server without opening the browser.
        controller.applicationDidFinishLaunching(
            {options.launchedAtLogin, options.action != LaunchOptions::Action::Start});
    });
    return QApplication::exec();
}
