#include "desktop/tray_host.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstring>

namespace {
const QString WatcherService = statusNotifierWatcherService();
const QString WatcherPath = statusNotifierWatcherPath();
const QString HostSignal = QStringLiteral("StatusNotifierHostRegistered");
} // namespace

TrayHostWatch::TrayHostWatch(QDBusConnection bus, XEmbed xembed,
                             std::chrono::milliseconds noHostNotice, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_xembed(xembed)
{
    m_notice = new QTimer(this);
    m_notice->setSingleShot(true);
    m_notice->setInterval(noHostNotice);
    connect(m_notice, &QTimer::timeout, this, &TrayHostWatch::noHostYet);
}

TrayHostWatch::~TrayHostWatch()
{
    stopListeningForXEmbedTray();
    if (m_serviceWatcher)
        m_bus.disconnect(WatcherService, WatcherPath, WatcherService, HostSignal, this,
                         SLOT(hostRegistered()));
}

void TrayHostWatch::start()
{
    m_notice->start();
    // An X11 tray docks the icon at once; a StatusNotifierItem host is still listened for, as
    // a panel may offer both and take the XEmbed tray first.
    const bool docked = m_xembed == XEmbed::Watched && listenForXEmbedTray();
    if (docked)
        found();
    if (!m_bus.isConnected())
        return;
    // Listening starts before the first question, so a host that comes in between is seen.
    m_serviceWatcher = new QDBusServiceWatcher(WatcherService, m_bus,
                                               QDBusServiceWatcher::WatchForRegistration, this);
    connect(m_serviceWatcher, &QDBusServiceWatcher::serviceRegistered, this,
            &TrayHostWatch::askWatcher);
    m_bus.connect(WatcherService, WatcherPath, WatcherService, HostSignal, this,
                  SLOT(hostRegistered()));
    if (docked) {
        askWatcher(); // the launch goes on meanwhile: no icon is waiting for the answer
        return;
    }
    // The answer is awaited here, briefly: a host already there then gets the icon before the
    // launch's work, not after it. A watcher slower than that is answered without waiting.
    const QDBusMessage answer = m_bus.call(hostQuestion(), QDBus::Block, 250);
    if (answer.type() == QDBusMessage::ReplyMessage) {
        if (answer.arguments().value(0).value<QDBusVariant>().variant().toBool())
            found();
    } else if (answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
        askWatcher();
    }
}

QDBusMessage TrayHostWatch::hostQuestion()
{
    // The watcher alone is not enough: Qt also wants it to report a host (the panel), since a
    // watcher's name may be taken by a helper with no panel behind it (KDE bug 339707).
    QDBusMessage get = QDBusMessage::createMethodCall(
        WatcherService, WatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << WatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    get.setAutoStartService(false); // asking must not start a watcher of its own
    return get;
}

void TrayHostWatch::askWatcher()
{
    auto* call = new QDBusPendingCallWatcher(m_bus.asyncCall(hostQuestion()), this);
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
    stopListeningForXEmbedTray();
    Q_EMIT hostAppeared();
}

bool TrayHostWatch::listenForXEmbedTray()
{
    // Only the xcb platform: others (offscreen among them) may answer for X11 with no connection.
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    // The tray of the first screen, where Qt's own XEmbed icon docks. The questions go out
    // together, so they cost one round trip.
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const auto intern = [connection](const char* name) {
        return xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    };
    const xcb_intern_atom_cookie_t manager = intern("MANAGER");
    const xcb_intern_atom_cookie_t selection = intern("_NET_SYSTEM_TRAY_S0");
    const xcb_get_window_attributes_cookie_t attributes =
        xcb_get_window_attributes(connection, root);
    const auto atom = [connection](xcb_intern_atom_cookie_t cookie) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return value;
    };
    m_managerAtom = atom(manager);
    m_selectionAtom = atom(selection);
    xcb_get_window_attributes_reply_t* rootAttributes =
        xcb_get_window_attributes_reply(connection, attributes, nullptr);
    const uint32_t mask = rootAttributes ? rootAttributes->your_event_mask : 0;
    free(rootAttributes);
    if (m_managerAtom == XCB_ATOM_NONE || m_selectionAtom == XCB_ATOM_NONE)
        return false;
    // The announcement goes to the root window's StructureNotify listeners. Qt's own screen
    // selects that already; our mask is added to, never replaced.
    if (!(mask & XCB_EVENT_MASK_STRUCTURE_NOTIFY)) {
        const uint32_t wanted = mask | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &wanted);
    }
    // Listening before asking: a tray that comes in between is seen either way.
    QCoreApplication::instance()->installNativeEventFilter(this);
    m_xembedListening = true;
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, m_selectionAtom), nullptr);
    const bool present = owner && owner->owner != XCB_WINDOW_NONE;
    free(owner);
    return present;
}

void TrayHostWatch::stopListeningForXEmbedTray()
{
    if (!m_xembedListening)
        return;
    m_xembedListening = false;
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool TrayHostWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (!m_xembedListening || eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
        return false;
    const auto* announcement = static_cast<const xcb_client_message_event_t*>(message);
    if (announcement->type == m_managerAtom && announcement->format == 32 &&
        announcement->data.data32[1] == m_selectionAtom) {
        // After Qt has seen the event too: the icon is made outside its event handling.
        m_xembedListening = false;
        QMetaObject::invokeMethod(
            this, [this] { found(); }, Qt::QueuedConnection);
    }
    return false; // Qt's own tray tracking wants it as well
}
