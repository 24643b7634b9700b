#pragma once

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <chrono>

// The panel's StatusNotifierWatcher, where items register and hosts announce themselves.
inline QString statusNotifierWatcherService()
{
    return QStringLiteral("org.kde.StatusNotifierWatcher");
}
inline QString statusNotifierWatcherPath()
{
    return QStringLiteral("/StatusNotifierWatcher");
}

class QDBusMessage;
class QDBusServiceWatcher;
class QTimer;

// Watches for the desktop's tray host for as long as the application runs. Qt's D-Bus tray asks
// the watcher for a StatusNotifierItem host only once per process, the first time anything
// touches QSystemTrayIcon, and falls back to an XEmbed icon for good when there is none yet, so
// on Wayland an icon made before the panel comes is never shown (no upstream report of this was
// found). So the icon is made only once a host is there, however late it comes (a login launch
// before the panel, the GNOME extension switched on later), and shown again when a panel
// restarts.
//
// Waiting costs nothing: both kinds of host announce themselves. A StatusNotifierWatcher takes
// its name on the bus; an X11 tray manager takes the tray selection and says so to every client
// with a MANAGER client message on the root window. Nothing is asked again on a timer.
class TrayHostWatch final : public QObject, private QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    // Whether an X11 XEmbed tray counts as a host (only on the xcb platform; none under Wayland).
    enum class XEmbed
    {
        Ignored,
        Watched
    };

    // noHostNotice: how long until noHostYet.
    explicit TrayHostWatch(QDBusConnection bus, XEmbed xembed = XEmbed::Ignored,
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
    // Listens for an X11 tray manager's announcement; answers whether one is there already.
    bool listenForXEmbedTray();
    void stopListeningForXEmbedTray();
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    static QDBusMessage hostQuestion();
    void askWatcher();
    void found();

    QDBusConnection m_bus;
    XEmbed m_xembed;
    bool m_xembedListening = false;
    quint32 m_managerAtom = 0;   // xcb_atom_t
    quint32 m_selectionAtom = 0; // the tray selection of the first screen
    QDBusServiceWatcher* m_serviceWatcher = nullptr;
    QTimer* m_notice = nullptr;
};
