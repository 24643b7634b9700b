#pragma once

#include <QDBusConnection>
#include <QObject>
#include <chrono>
#include <functional>

class QDBusServiceWatcher;
class QTimer;

// Watches for the desktop's tray host for as long as the application runs. Qt looks for a
// StatusNotifierItem host only once per process, the first time anything touches
// QSystemTrayIcon, and on Wayland an icon made without one is lost for good: so the icon is made
// only once a host is there, however late it comes (a login launch before the panel, the GNOME
// extension switched on later), and shown again when a panel restarts.
class TrayHostWatch final : public QObject
{
    Q_OBJECT

public:
    // xembedTray: whether an X11 XEmbed tray is there (none under Wayland), asked every second
    // until a host of either kind has appeared. noHostNotice: how long until noHostYet.
    explicit TrayHostWatch(QDBusConnection bus, std::function<bool()> xembedTray = {},
                           std::chrono::milliseconds noHostNotice = std::chrono::seconds(30),
                           QObject* parent = nullptr);
    ~TrayHostWatch() override;

    void start();

Q_SIGNALS:
    // Each time a host appears: a watcher with a host (again), a host registering, an XEmbed tray.
    void hostAppeared();
    // Once, when no host of either kind has appeared within noHostNotice of start().
    void noHostYet();

private Q_SLOTS:
    void hostRegistered();

private:
    void askWatcher();
    void found();

    QDBusConnection m_bus;
    std::function<bool()> m_xembedTray;
    QDBusServiceWatcher* m_serviceWatcher = nullptr;
    QTimer* m_xembedPoll = nullptr;
    QTimer* m_notice = nullptr;
};

// Whether an XEmbed tray manager owns the X11 tray selection; false off X11.
bool xembedTrayPresent();
