#include "tray_host.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QTimer>

#include <xcb/xcb.h>

namespace {
const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString HostSignal = QStringLiteral("StatusNotifierHostRegistered");
} // namespace

TrayHostWatch::TrayHostWatch(QDBusConnection bus, std::function<bool()> xembedTray,
                             std::chrono::milliseconds noHostNotice, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_xembedTray(std::move(xembedTray))
{
    m_notice = new QTimer(this);
    m_notice->setSingleShot(true);
    m_notice->setInterval(noHostNotice);
    connect(m_notice, &QTimer::timeout, this, &TrayHostWatch::noHostYet);
}

TrayHostWatch::~TrayHostWatch()
{
    if (m_serviceWatcher)
        m_bus.disconnect(WatcherService, WatcherPath, WatcherService, HostSignal, this,
                         SLOT(hostRegistered()));
}

void TrayHostWatch::start()
{
    m_notice->start();
    if (m_xembedTray) {
        m_xembedPoll = new QTimer(this);
        m_xembedPoll->setInterval(std::chrono::seconds(1));
        connect(m_xembedPoll, &QTimer::timeout, this, [this] {
            if (m_xembedTray())
                found();
        });
        m_xembedPoll->start();
        if (m_xembedTray()) {
            found();
            return; // an X11 tray docks the icon; StatusNotifierItem hosts are Qt's to find then
        }
    }
    if (!m_bus.isConnected())
        return;
    // Listening starts before the first question, so a host that comes in between is seen.
    m_serviceWatcher = new QDBusServiceWatcher(WatcherService, m_bus,
                                               QDBusServiceWatcher::WatchForRegistration, this);
    connect(m_serviceWatcher, &QDBusServiceWatcher::serviceRegistered, this,
            &TrayHostWatch::askWatcher);
    m_bus.connect(WatcherService, WatcherPath, WatcherService, HostSignal, this,
                  SLOT(hostRegistered()));
    askWatcher();
}

void TrayHostWatch::askWatcher()
{
    // The watcher alone is not enough: Qt also wants it to report a host (the panel).
    QDBusMessage get = QDBusMessage::createMethodCall(
        WatcherService, WatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << WatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    get.setAutoStartService(false); // asking must not start a watcher of its own
    auto* call = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        const QDBusPendingReply<QDBusVariant> reply = *done;
        done->deleteLater();
        if (!reply.isError() && reply.value().variant().toBool())
            found();
    });
}

void TrayHostWatch::hostRegistered()
{
    found();
}

void TrayHostWatch::found()
{
    m_notice->stop();
    if (m_xembedPoll) {
        m_xembedPoll->deleteLater(); // later: it may be the sender
        m_xembedPoll = nullptr;
        m_xembedTray = nullptr;
    }
    Q_EMIT hostAppeared();
}

bool xembedTrayPresent()
{
    // Only the xcb platform: others (offscreen among them) may answer for X11 with no connection.
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    static xcb_atom_t selection = XCB_ATOM_NONE;
    if (selection == XCB_ATOM_NONE) {
        // The tray of the first screen: Qt's own XEmbed icon docks there.
        const char name[] = "_NET_SYSTEM_TRAY_S0";
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
        if (!atom)
            return false;
        selection = atom->atom;
        free(atom);
    }
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool present = owner && owner->owner != XCB_WINDOW_NONE;
    free(owner);
    return present;
}
