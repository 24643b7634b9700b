// A panel's StatusNotifierWatcher with a host registered, for the benchmark's desks whose tray
// is a StatusNotifierItem host: it owns org.kde.StatusNotifierWatcher on the session bus and
// prints a line for each item that registers, "MONOTONIC_MS SERVICE", the time read from
// CLOCK_MONOTONIC when the registration came. bench_xwatch --registered reads these lines.
//
//   bench_sni_watcher      (on DBUS_SESSION_BUS_ADDRESS; prints "ready" once it owns the name)
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

#include <cstdio>
#include <ctime>

class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

public:
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return m_items; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message)
    {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        // Qt's own item names its path only; ours names its service. Either way, the sender.
        const QString item =
            service.startsWith(QLatin1Char('/')) ? message.service() + service : service;
        m_items.append(item);
        std::printf("%.3f %s\n",
                    static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6,
                    qPrintable(item));
        std::fflush(stdout);
    }
    void RegisterStatusNotifierHost(const QString&) {}

private:
    QStringList m_items;
};

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    Watcher watcher;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllSlots |
                                QDBusConnection::ExportAllProperties) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "bench_sni_watcher: cannot own the watcher's name on the bus\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

#include "sni_watcher.moc"
