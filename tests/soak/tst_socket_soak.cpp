// The instance socket fed garbage: random bytes, partial and oversized requests, clients that
// vanish. The instance keeps answering a real request, and no descriptor is left behind.
// SOAK_CYCLES overrides the number of connections, SOAK_SEED the seed.
#include "controller/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class SocketSoakTest : public QObject
{
    Q_OBJECT

    static qsizetype openDescriptors()
    {
        return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size();
    }

private slots:
    void garbageNeverStopsTheInstance()
    {
        const int cycles = qEnvironmentVariableIsSet("SOAK_CYCLES")
                               ? qEnvironmentVariableIntValue("SOAK_CYCLES")
                               : 300;
        const quint32 seed = qEnvironmentVariable("SOAK_SEED", QStringLiteral("12")).toUInt();
        qInfo("%d connections from seed %u", cycles, seed);
        QRandomGenerator random(seed);
        QTemporaryDir folder;
        SingleInstance instance(folder.path());
        instance.setLimits({16, 300, 4, 3000});
        QCOMPARE(instance.claim(), SingleInstance::Outcome::Primary);
        const QString path =
            folder.filePath(QStringLiteral("io.tarvessa.tarvessa-audio-server.socket"));
        const qsizetype baseline = openDescriptors();
        QSignalSpy reopened(&instance, &SingleInstance::reopenRequested);
        std::vector<std::unique_ptr<QLocalSocket>> clients;
        for (int cycle = 0; cycle < cycles; ++cycle) {
            auto client = std::make_unique<QLocalSocket>();
            client->connectToServer(path);
            QByteArray garbage(random.bounded(4096), Qt::Uninitialized);
            for (char& byte : garbage)
                byte = char(random.bounded(256));
            if (random.bounded(4) == 0 && !garbage.startsWith('\n'))
                garbage.prepend("reopen"); // a request that never ends, or ends wrong
            client->write(garbage);
            if (random.bounded(2))
                client->abort();
            clients.push_back(std::move(client));
            if (clients.size() > 8)
                clients.erase(clients.begin());
            QTest::qWait(random.bounded(3));
        }
        clients.clear();
        // A real request is answered once the garbage has been dropped.
        const auto reopenWorks = [&] {
            QLocalSocket client;
            QByteArray answer;
            connect(&client, &QLocalSocket::readyRead, this, [&] { answer += client.readAll(); });
            client.connectToServer(path);
            client.write("reopen\n");
            (void)QTest::qWaitFor(
                [&] {
                    return answer.contains('\n') ||
                           client.state() == QLocalSocket::UnconnectedState;
                },
                5000);
            return answer == "ok\n";
        };
        QVERIFY(QTest::qWaitFor(reopenWorks, 10000));
        QCOMPARE(reopened.size(), 1); // garbage is never taken for a request
        QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), baseline, 5000);
    }
};

QTEST_MAIN(SocketSoakTest)
#include "tst_socket_soak.moc"
