#pragma once

#include "base/file_error.h"
#include "controller/server_state.h"
#include "server/server_log.h"
#include "session/alerts.h"
#include "session/status_item.h"

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QUrl>
#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class BaseFolders;
class Clipboard;
class LoginItemService;
class QAction;
class QFileSystemWatcher;
class QMenu;
class QTimer;
class RuntimeLocations;
class ServerProcess;
class Workspace;

// How often the readiness wait probes, how long it waits, and how long a stopped server has
// before it is killed. Tests shorten them.
struct ControllerTimings
{
    std::chrono::milliseconds readinessTick{500};
    qint64 readinessAttemptLimit = 120;
    std::chrono::milliseconds forcedKillDelay{12000};
    std::chrono::milliseconds probeTimeout{1000};
};

// The one controller of the tray application: it holds every piece of the application's state
// and its operations are grouped by subsystem in the folders beside this one. Everything runs on
// the main thread.
class TarvessaAudioServerAppDelegate : public QObject
{
    Q_OBJECT

public:
    // The desktop services the controller works through; tests hand in doubles.
    struct Services
    {
        Alerts& alerts;
        Workspace& workspace;
        Clipboard& clipboard;
        LoginItemService& loginItems;
        const BaseFolders& folders;
        // Asks the application to terminate; termination then calls applicationWillTerminate().
        std::function<void()> requestQuit;
        // Makes the tray icon once a tray host is there; without it there is no icon.
        std::function<std::unique_ptr<StatusItem>()> makeStatusItem = {};
    };

    using Timings = ControllerTimings;

    struct LaunchContext
    {
        bool launchedAtLogin = false; // the autostart entry's --autostart
        bool openBrowser = true;      // false for --start: the server only (and at login)
    };

    explicit TarvessaAudioServerAppDelegate(Services services, Timings timings = {},
                                            QObject* parent = nullptr);
    ~TarvessaAudioServerAppDelegate() override;

    // Entry points called by the application.
    // The tray icon is made only once trayHostAppeared() has come (before the launch or after it).
    void applicationDidFinishLaunching(const LaunchContext& context);
    // A tray host is there (again): the icon is made if it was not yet.
    void trayHostAppeared();
    bool applicationShouldHandleReopen();
    void applicationWillTerminate();
    void menuWillOpen();

    // Menu actions; the sender is ignored.
    void openWebInterface(QObject* sender = nullptr);
    void copyAddress(QObject* sender = nullptr);
    void toggleServer(QObject* sender = nullptr);
    void restartServer(QObject* sender = nullptr);
    void showDataFolder(QObject* sender = nullptr);
    void toggleStartAtLogin(QObject* sender = nullptr);
    void showServerLog(QObject* sender = nullptr);
    void quitApplication(QObject* sender = nullptr);

    // Operations the subsystems call on one another.
    // Records the state, and shows it in the menu and the tray icon once they exist.
    void updateMenu(const ServerState& state);
    void refreshStartAtLoginMenuItem();
    void startServer(bool openBrowser);
    void stopOwnedServer();
    void presentLaunchError(const QString& message);
    // One alert at a time: those asked for while another is open follow in order once it closes.
    // A server failure replaces the failure waiting before it, so a flapping server does not
    // stack up alerts; an alert the user asked for is never dropped, only not queued twice.
    enum class AlertOrigin
    {
        UserRequest,
        ServerFailure
    };
    void presentAlert(const AlertRequest& alert, std::function<void(int)> answered = {},
                      AlertOrigin origin = AlertOrigin::UserRequest);
    void probeServer(std::function<void(bool)> completion);
    void waitUntilReady(bool openBrowser);
    void detectOrStartServer(bool openBrowser);
    void presentStartAtLoginApproval();

    // Locations and preparation of the server's files.
    QUrl serverEntryURL() const;
    QUrl serverLogURL() const;
    Expected<void> migrateLegacyRuntimeDirectoriesIfNeeded();
    Expected<void> createRuntimeDirectories();
    Expected<LogHandle> openLogHandle();
    QProcessEnvironment serverEnvironment() const;

    const Timings& timings() const { return m_timings; }
    int probesInFlight() const { return m_probesInFlight; }
    QMenu* statusMenu() const { return m_statusMenu.get(); }

    // The controller's state, in declaration order, read-only to everyone: each field shows the
    // private member of its name with "m_", which only the operations named beside it write.
    const qint64& serverPort = m_serverPort;
    const QUrl& serverURL = m_serverURL;
    const std::shared_ptr<ServerProcess>& serverProcess = m_serverProcess;
    const ServerState& serverState = m_serverState;
    const QPointer<QTimer>& readinessTimer = m_readinessTimer;
    const qint64& readinessAttempts = m_readinessAttempts;
    const bool& openBrowserWhenReady = m_openBrowserWhenReady;
    const bool& restartAfterTermination = m_restartAfterTermination;
    const bool& isQuitting = m_isQuitting;
    const std::optional<LogHandle>& logHandle = m_logHandle;
    const std::unique_ptr<StatusItem>& statusItem = m_statusItem;
    QAction* const& statusMenuItem = m_statusMenuItem;
    QAction* const& addressMenuItem = m_addressMenuItem;
    QAction* const& toggleServerMenuItem = m_toggleServerMenuItem;
    QAction* const& restartServerMenuItem = m_restartServerMenuItem;
    QAction* const& startAtLoginMenuItem = m_startAtLoginMenuItem;

    // Launch step 3: the menu and its held items, then the tray icon that shows it.
    void buildStatusMenu();
    void attachStatusItem();

private:
    void cancelReadinessWait();
    void handleServerTermination(const std::weak_ptr<ServerProcess>& ended, int status);
    bool ownedServerIsRunning() const;
    RuntimeLocations locations() const;
    void watchLoginItemFolder();

    // The state the public fields show, and who writes it.
    const qint64 m_serverPort;                          // construction
    const QUrl m_serverURL;                             // construction
    std::shared_ptr<ServerProcess> m_serverProcess;     // launch, termination handling, stop
    ServerState m_serverState = ServerState::stopped(); // updateMenu() only
    QPointer<QTimer> m_readinessTimer;          // readiness wait, termination handling, stop
    qint64 m_readinessAttempts = 0;             // readiness wait
    bool m_openBrowserWhenReady = false;        // launch, readiness wait, restart
    bool m_restartAfterTermination = false;     // restart, stop, termination handling
    bool m_isQuitting = false;                  // termination
    std::optional<LogHandle> m_logHandle;       // launch, termination handling
    std::unique_ptr<StatusItem> m_statusItem;   // launch
    QAction* m_statusMenuItem = nullptr;        // launch; title by updateMenu()
    QAction* m_addressMenuItem = nullptr;       // launch
    QAction* m_toggleServerMenuItem = nullptr;  // launch; updateMenu()
    QAction* m_restartServerMenuItem = nullptr; // launch; updateMenu()
    QAction* m_startAtLoginMenuItem = nullptr;  // launch; start at login

    Services m_services;
    Timings m_timings;
    std::unique_ptr<QMenu> m_statusMenu;
    std::array<QIcon, 4> m_trayIcons; // by TrayIconKind, drawn once
    int m_probesInFlight = 0;
    // Counts stops: a probe's answer starts a server only if no stop came since it was sent.
    quint64 m_stops = 0;
    // Whether no stop came since `stopsWhenSent` was read.
    bool noStopSince(quint64 stopsWhenSent) const { return m_stops == stopsWhenSent; }
    QFileSystemWatcher* m_loginItemWatcher = nullptr;
    bool m_alertOpen = false;
    bool m_launched = false; // the menu is built: an icon may be attached
    bool m_trayHostSeen = false;
    struct WaitingAlert
    {
        AlertRequest request;
        std::function<void(int)> answered;
        AlertOrigin origin;
    };
    std::deque<WaitingAlert> m_waitingAlerts;
};
