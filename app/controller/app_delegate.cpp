// Construction, the launch sequence, the reopen request and termination.
#include "controller/app_delegate.h"

#include "base/base_folders.h"
#include "base/product.h"
#include "server/port_choice.h"

#include <QAction>
#include <QMenu>
#include <QTimer>

#include <cstdio>
#include <sys/stat.h>

namespace {
qint64 portFromBundle(const BaseFolders& folders)
{
    const PortChoice choice = choosePortFromFile(folders.infoJsonPath());
    if (!choice.reading.ok())
        std::fprintf(stderr, "%s: %s; using port %lld.\n", DisplayName,
                     qPrintable(choice.reading.error().description),
                     static_cast<long long>(choice.port));
    return choice.port;
}
} // namespace

TarvessaAudioServerAppDelegate::TarvessaAudioServerAppDelegate(Services services, Timings timings,
                                                               QObject* parent)
    : QObject(parent), m_serverPort(portFromBundle(services.folders)),
      m_serverURL(QUrl(QStringLiteral("http://127.0.0.1:") + QString::number(m_serverPort))),
      m_services(std::move(services)), m_timings(timings)
{}

// Destroying the controller never kills a server: one asked to stop at quit finishes its
// shutdown on its own after we have gone.
TarvessaAudioServerAppDelegate::~TarvessaAudioServerAppDelegate() = default;

void TarvessaAudioServerAppDelegate::applicationDidFinishLaunching(const LaunchContext& context)
{
    ::umask(077);
    buildStatusMenu();
    // The panel may come up after us, and Qt looks for it only once: the icon waits for it, the
    // server does not.
    m_launched = true;
    if (m_trayHostSeen)
        attachStatusItem();
    refreshStartAtLoginMenuItem();
    watchLoginItemFolder();
    updateMenu(ServerState::stopped());
    const bool openBrowser = context.openBrowser && !context.launchedAtLogin;
    m_openBrowserWhenReady = openBrowser;
    detectOrStartServer(openBrowser);
}

void TarvessaAudioServerAppDelegate::trayHostAppeared()
{
    // A panel that restarts later is told of the icon again by Qt itself. One already there when
    // the launch begins gets the icon with the menu, before the server's start. An icon docked in
    // an XEmbed tray moves to a StatusNotifierItem host that comes after it (XFCE's panel takes
    // the XEmbed tray before its watcher's name): the host then shows our menu and tool tip.
    m_trayHostSeen = true;
    if (m_launched && (!statusItem || statusItem->isEmbedded()))
        attachStatusItem();
}

bool TarvessaAudioServerAppDelegate::applicationShouldHandleReopen()
{
    openWebInterface();
    return true;
}

void TarvessaAudioServerAppDelegate::applicationWillTerminate()
{
    if (isQuitting)
        return; // the platform may report termination more than once
    m_isQuitting = true;
    if (readinessTimer)
        readinessTimer->stop(); // the field keeps the stopped timer
    stopOwnedServer();
}

void TarvessaAudioServerAppDelegate::quitApplication(QObject*)
{
    m_services.requestQuit();
}
