#include "tray_host.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QTimer>

namespace {
const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString HostSignal = QStringLiteral("StatusNotifierHostRegistered");
} // namespace

TrayHostWait::TrayHostWait(QDBusConnection bus, std::chrono::milliseconds bound, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_bound(bound)
{}

TrayHostWait::~TrayHostWait()
{
    stopListening();
}

void TrayHostWait::wait(std::function<void()> ready)
{
    m_ready = std::move(ready);
    if (!m_bus.isConnected()) {
        finish(); // no session bus, so no host can appear on it
        return;
    }
    if (!m_listening) {
        // Listening starts before the first question, so a host that comes in between is seen.
        m_serviceWatcher = new QDBusServiceWatcher(WatcherService, m_bus,
                                                   QDBusServiceWatcher::WatchForRegistration, this);
        connect(m_serviceWatcher, &QDBusServiceWatcher::serviceRegistered, this,
                &TrayHostWait::askWatcher);
        m_bus.connect(WatcherService, WatcherPath, WatcherService, HostSignal, this,
                      SLOT(finish()));
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        connect(m_timer, &QTimer::timeout, this, &TrayHostWait::finish);
        m_listening = true;
    }
    m_timer->start(m_bound);
    askWatcher();
}

void TrayHostWait::askWatcher()
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
            finish();
    });
}

void TrayHostWait::finish()
{
    stopListening();
    if (auto ready = std::exchange(m_ready, nullptr))
        ready();
}

void TrayHostWait::stopListening()
{
    if (!m_listening)
        return;
    m_listening = false;
    m_bus.disconnect(WatcherService, WatcherPath, WatcherService, HostSignal, this, SLOT(finish()));
    // Later, not now: either may be the sender of the signal being handled.
    m_timer->stop();
    m_timer->deleteLater();
    m_timer = nullptr;
    m_serviceWatcher->deleteLater();
    m_serviceWatcher = nullptr;
}
