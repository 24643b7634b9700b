// The stand-in server from the assembled bundle, run through the machine's node, and the guard
// against a second instance. (The real binary's second launch and quit are driven on a real
// display by scripts/gui-check.)
#include "controller/single_instance.h"
#include "lifecycle_fixture.h"

#include <QLocalSocket>
#include <QSysInfo>

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void standInServerRunsFromTheBundle()
    {
        const quint16 port = freePort();
        TestAccount account;
        account.writeInfoJson(QJsonObject{{QStringLiteral("TarvessaServerPort"), port}});
        QDir(account.bundle()).rmdir(QStringLiteral("Resources"));
        QFile::link(QStringLiteral(TARVESSA_BUNDLE_DIR "/Resources"),
                    account.bundle() + QStringLiteral("/Resources"));
        auto controller = account.makeController(fastTimings());
        controller->applicationDidFinishLaunching({false});
        QTRY_VERIFY_WITH_TIMEOUT(controller->serverState == ServerState::running(), 15000);
        QVERIFY(controller->serverProcess);
        QCOMPARE(controller->statusMenuItem->text(), QStringLiteral("Server running"));
        QCOMPARE(account.workspace.openedUrls,
                 QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port))});

        controller->applicationWillTerminate();
        QTRY_VERIFY_WITH_TIMEOUT(!controller->serverProcess, 10000);
        QVERIFY(controller->serverState == ServerState::stopped()); // exited 0 on SIGTERM
        QFile log(controller->serverLogURL().toLocalFile());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("SIGTERM received"));
    }

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
