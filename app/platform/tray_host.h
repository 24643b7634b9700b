#pragma once

#include <QDBusConnection>
#include <QObject>
#include <chrono>
#include <functional>

class QDBusServiceWatcher;
class QTimer;

// Waits for the desktop's StatusNotifierItem host before the tray icon is created. At login the
// panel may come up after the application, and Qt looks for a host only once per process, the
// first time anything touches QSystemTrayIcon: an icon created too early stays invisible.
//
// Only the StatusNotifierItem host is waited for. Without one, Qt docks the icon in an XEmbed
// tray as soon as such a tray appears, so there is nothing to wait for; telling an XEmbed-only
// panel apart from a host still starting would need X11 calls, so such a panel sees the icon
// only once the bound has run out.
class TrayHostWait final : public QObject
{
    Q_OBJECT

public:
    explicit TrayHostWait(QDBusConnection bus,
                          std::chrono::milliseconds bound = std::chrono::seconds(30),
                          QObject* parent = nullptr);
    ~TrayHostWait() override;

    // Calls ready once: at once when the session bus cannot be reached, otherwise when the
    // host is registered (perhaps already) or the bound runs out. A later call replaces an
    // earlier one that has not been answered yet.
    void wait(std::function<void()> ready);

private Q_SLOTS:
    void finish();

private:
    void askWatcher();
    void stopListening();

    QDBusConnection m_bus;
    std::chrono::milliseconds m_bound;
    std::function<void()> m_ready;
    QDBusServiceWatcher* m_serviceWatcher = nullptr;
    QTimer* m_timer = nullptr;
    bool m_listening = false;
};
