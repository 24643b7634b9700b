// The composition root: builds the application's objects, hands each its dependencies and runs
// the event loop.
#include "controller/app_delegate.h"
#include "controller/launch_options.h"
#include "controller/quit_signals.h"
#include "controller/single_instance.h"
#include "platform/base_folders.h"
#include "platform/desktop_services.h"
#include "platform/native_names.h"
#include "platform/tray_host.h"
#include "platform/xdg_autostart.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvessa Audio Server"));
    QApplication::setDesktopFileName(QStringLiteral("io.tarvessa.tarvessa-audio-server"));
    // Closing an alert must not end a tray application that has no other window.
    QApplication::setQuitOnLastWindowClosed(false);

    const LaunchOptions options = parseLaunchOptions(QApplication::arguments());
    for (const QString& unknown : options.unknownOptions)
        std::fprintf(stderr, "Tarvessa Audio Server: ignoring unknown option %s\n",
                     qPrintable(unknown));

    const BaseFolders folders(nativeSystemEnvironment(), BaseFolders::bundleOfRunningExecutable());

    QString instanceFolder = folders.runtimeHome();
    if (instanceFolder.isEmpty()) {
        instanceFolder = folders.cacheHome();
        QDir().mkpath(instanceFolder);
    }
    SingleInstance instance(instanceFolder);
    switch (instance.claim()) {
    case SingleInstance::Outcome::ReopenSent:
        return 0;
    case SingleInstance::Outcome::HolderNotAnswering:
        std::fprintf(stderr, "Tarvessa Audio Server: not starting a second instance: %s\n",
                     qPrintable(instance.errorText()));
        return 1;
    case SingleInstance::Outcome::Unavailable:
        std::fprintf(stderr, "Tarvessa Audio Server: cannot guard against a second instance: %s\n",
                     qPrintable(instance.errorText()));
        break;
    case SingleInstance::Outcome::Primary:
        break;
    }

    MessageBoxAlerts alerts;
    DesktopWorkspace workspace;
    SystemClipboard clipboard;
    XdgAutostartService loginItems(
        folders, QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath(), workspace);
    TarvessaAudioServerAppDelegate controller(
        {alerts, workspace, clipboard, loginItems, folders, [] { QCoreApplication::quit(); }});

    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &application,
                     [] { QCoreApplication::quit(); });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &controller,
                     &TarvessaAudioServerAppDelegate::applicationWillTerminate);
    QObject::connect(&instance, &SingleInstance::reopenRequested, &controller,
                     &TarvessaAudioServerAppDelegate::applicationShouldHandleReopen);

    TrayHostWait trayHost(QDBusConnection::sessionBus());
    // Launching has finished once the event loop runs.
    QTimer::singleShot(0, &controller, [&controller, &options, &trayHost] {
        controller.applicationDidFinishLaunching(
            {options.launchedAtLogin},
            [&trayHost](std::function<void()> ready) { trayHost.wait(std::move(ready)); });
    });
    return QApplication::exec();
}
