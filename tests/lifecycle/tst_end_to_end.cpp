// The guard against a second instance after a crash. (The real binary with the bundle's
// stand-in server, its second launch and its quit are driven on a real display by
// scripts/gui-check; the stand-in meeting a port already taken is in tests/faults.)
#include "lifecycle.h"
#include "platform/single_instance.h"

#include <QLocalSocket>
#include <QSysInfo>

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void aCrashedInstanceDoesNotBlockTheNext()
    {
        QTemporaryDir folder;
        const QString base = folder.filePath(QStringLiteral("io.tarvessa.tarvessa-audio-server"));
        // What a crash leaves: a lock naming a process that is gone, and a dead socket.
        QFile lock(base + QStringLiteral(".lock"));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write("2147483646\nTarvessaAudioServer\n" + QSysInfo::machineHostName().toUtf8() +
                   "\n");
        lock.close();
        QFile socket(base + QStringLiteral(".socket"));
        QVERIFY(socket.open(QIODevice::WriteOnly)); // a leftover file in the socket's place

        SingleInstance instance(folder.path());
        QCOMPARE(instance.claim(), SingleInstance::Outcome::Primary);
        QLocalSocket client;
        client.connectToServer(base + QStringLiteral(".socket"));
        QVERIFY(client.waitForConnected(2000));
        QSignalSpy reopened(&instance, &SingleInstance::reopenRequested);
        client.write("reopen\n");
        QVERIFY(reopened.wait(2000));
        QTRY_VERIFY(client.canReadLine());
        QCOMPARE(client.readLine(), QByteArray("ok\n"));
    }
};

QTEST_MAIN(EndToEndTest)
#include "tst_end_to_end.moc"
