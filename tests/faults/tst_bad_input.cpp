// Bad input of every kind the application reads or passes on, each tried and survived: broken
// bundle and autostart files, picked paths of any bytes, folders in the way, a log that is no
// file, a port held by a stranger, a server flooding its log, and a huge inherited environment.
// FAULTS_SEED overrides the seed of the random inputs.
#include "controller/port_choice.h"
#include "lifecycle.h"
#include "picker_roundtrip.h"
#include "platform/xdg_autostart.h"
#include "runtime/server_log.h"
#include "runtime/server_process.h"
#include "test_account.h"

#include <QDir>
#include <QLocalServer>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

// An account whose bundle runs `script` as its server on a free loopback port, and the
// controller that starts it. A server still running at the end (after a failure) is killed.
struct Account : TestAccount
{
    explicit Account(const QString& script = u"exit 0"_s, quint16 port = 0)
    {
        writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, port ? port : freePort()}});
        environment.insert(u"RECORD_DIR"_s, root());
        installRuntime(script);
    }
    ~Account()
    {
        if (controller && controller->serverProcess)
            controller->serverProcess->killGroup();
    }
    // Starts the server, or with `detect` first asks the port whether one is there.
    TarvessaAudioServerAppDelegate& start(bool detect = false)
    {
        controller = makeController(ControllerTimings{std::chrono::milliseconds(50), 400});
        controller->buildStatusMenu();
        detect ? controller->detectOrStartServer(false) : controller->startServer(false);
        return *controller;
    }
    // Starts the server and waits until it has ended by itself, leaving the server stopped.
    bool runToEnd(int timeout)
    {
        start();
        return QTest::qWaitFor([this] { return !controller->serverProcess; }, timeout) &&
               controller->serverState == ServerState::stopped();
    }
    std::unique_ptr<TarvessaAudioServerAppDelegate> controller;
};

class BadInputTest : public QObject
{
    Q_OBJECT

    const quint32 seed = qEnvironmentVariable("FAULTS_SEED", u"7151"_s).toUInt();
    QRandomGenerator random{seed};

    QByteArray randomBytes(int size)
    {
        QByteArray bytes;
        while (bytes.size() < size)
            bytes += char(random.bounded(256));
        return bytes;
    }

private slots:
    void initTestCase() { qInfo("random inputs from seed %u (FAULTS_SEED overrides)", seed); }

    void infoJsonThatCannotBeUsed()
    {
        // Random bytes, a good port in a file past the 1 MiB limit, nesting past any limit.
        const QByteArray huge = "{\"TarvessaServerPort\": 5123}" + QByteArray(20 << 20, ' ');
        for (const QByteArray& contents : {randomBytes(4096), huge, QByteArray(100'000, '[')}) {
            TestAccount account;
            account.writeInfoJson(contents);
            QCOMPARE(account.makeController()->serverPort, DefaultServerPort);
            QVERIFY(!choosePortFromFile(account.folders().infoJsonPath()).reading.ok());
        }
    }

    void autostartEntryOfRandomBytes()
    {
        for (int size : {1, 4096, 70'000}) {
            TestAccount account;
            // Any executable stands for the application.
            XdgAutostartService service(account.folders(), u"/bin/sh"_s, account.workspace,
                                        [](const QString&, const QStringList&) { return true; });
            QVERIFY(writeFile(service.entryPath(), randomBytes(size)));
            QCOMPARE(service.status(), LoginItemService::NotFound);
            QVERIFY(service.registerItem().ok());
            QCOMPARE(service.status(), LoginItemService::Enabled);
            QCOMPARE(readAll(service.entryPath()), service.entryContents());
        }
    }

    // Mostly bytes that JSON escapes, and UTF-8 sequences good and bad.
    void pickedPathsOfAnyBytes()
    {
        const QList<QByteArray> pieces =
            QByteArrayLiteral("/|\"|\\|\b|\f|\n|\r|\t|\0|\x1f|\x7f|a| |\xc3\xa9|\xe2\x82\xac|"
                              "\xf0\x9f\x8e\xb5|\xef\xbb\xbf|\xef\xbf\xbe|\xc0\xaf|\xed\xa0\x80|"
                              "\xf4\x90\x80\x80|\xe2\x82|\x80")
                .split('|');
        for (int i = 0; i < 20'000; ++i) {
            QByteArray path;
            for (int count = random.bounded(24); count > 0; --count)
                path += random.bounded(4) ? pieces.at(random.bounded(int(pieces.size())))
                                          : randomBytes(1);
            QVERIFY2(pickerRoundTripHolds(path), path.toHex().constData());
        }
    }

    // A file where the data or the log folder goes, a folder, FIFO, socket or device where the
    // log file goes.
    void foldersInTheWay_data()
    {
        QTest::addColumn<QString>("inTheWay");
        QTest::addColumn<QString>("kind");
        const QString log = u"state/Tarvessa Audio Server/server.log"_s;
        QTest::newRow("file for the data folder") << u"share/Tarvessa Audio Server"_s << u"file"_s;
        QTest::newRow("file for the log folder") << u"state/Tarvessa Audio Server"_s << u"file"_s;
        QTest::newRow("folder for the log") << log + u"/kept"_s << u"file"_s;
        QTest::newRow("FIFO for the log") << log << u"fifo"_s;
        QTest::newRow("socket for the log") << log << u"socket"_s;
        QTest::newRow("device for the log") << log << u"device"_s;
    }
    void foldersInTheWay()
    {
        QFETCH(QString, inTheWay);
        QFETCH(QString, kind);
        Account account;
        const QString path = account.home() + u"/.local/"_s + inTheWay;
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QLocalServer socket;
        if (kind == u"file")
            QVERIFY(writeFile(path, "kept"));
        else if (kind == u"fifo")
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else if (kind == u"socket")
            QVERIFY(socket.listen(path));
        else
            QVERIFY(QFile::link(u"/dev/null"_s, path));
        const TarvessaAudioServerAppDelegate& controller = account.start(); // a FIFO held it
        const QString failed = u"Tarvessa Audio Server could not prepare its data folders: "_s;
        QCOMPARE(controller.serverState.kind(), ServerState::Case::failed);
        if (kind == u"file")
            QVERIFY(controller.serverState.message().startsWith(failed));
        else
            QCOMPARE(controller.serverState.message(),
                     failed + u"The server log %1 is not a regular file"_s.arg(path));
        QVERIFY(!controller.serverProcess && !controller.logHandle);
        QCOMPARE(account.alerts.shown.size(), 1);
        if (kind == u"file")
            QCOMPARE(readAll(path), "kept"); // nothing already there is lost
    }

    void aStrangerHoldsThePort()
    {
        ModeServer stranger(ModeServer::response(200, R"x({"mode":"other"})x"));
        Account account(u""_s, stranger.serverPort());
        // The stand-in server from the assembled bundle, which cannot listen where it should.
        QDir(account.bundle() + u"/Resources"_s).removeRecursively();
        QFile::link(QStringLiteral(TARVESSA_BUNDLE_DIR "/Resources"),
                    account.bundle() + u"/Resources"_s);
        const TarvessaAudioServerAppDelegate& controller = account.start(true);
        QTRY_VERIFY_WITH_TIMEOUT(controller.serverState.kind() == ServerState::Case::failed, 20000);
        QCOMPARE(controller.statusMenuItem->text(),
                 u"Server exited with status 1. Check the server log for details."_s);
        QVERIFY(!controller.serverProcess);
        QVERIFY(stranger.requests() >= 1); // asked, and not taken for ours
        QVERIFY(readAll(controller.serverLogURL().toLocalFile()).contains("EADDRINUSE"));
    }

    void aFloodedLogIsRotatedAtTheNextStart()
    {
        Account account(u"head -c 100000000 /dev/zero | tr '\\0' x"_s);
        QVERIFY(account.runToEnd(60000));
        account.installRuntime(u"exit 0"_s);
        QVERIFY(account.runToEnd(10000));
        // The flood, after its launch header, is the previous log; the new one holds a header.
        const QString log = account.controller->serverLogURL().toLocalFile();
        const QByteArray header = readAll(log);
        QCOMPARE(header.size(), launchHeader(QDateTime::currentDateTimeUtc()).size());
        QFile previous(QString(log).replace(u"server.log"_s, u"server.previous.log"_s));
        QCOMPARE(previous.size(), header.size() + 100'000'000);
        QVERIFY(previous.remove()); // the disk is freed now, not at the end of the run
    }

    void tenThousandInheritedVariables()
    {
        Account account(u"tr '\\0' '\\n' < /proc/$$/environ > \"$RECORD_DIR/env\""_s);
        QSet<QByteArray> expected;
        for (int i = 0; i < 10'000; ++i) {
            const QString name = u"INHERITED_%1"_s.arg(i);
            const QString value = u"value %1 = with spaces, \u00e9 and '\""_s.arg(i);
            account.environment.insert(name, value);
            expected.insert((name + u'=' + value).toUtf8());
        }
        QVERIFY(account.runToEnd(10000));
        // As the runtime received them, before its shell added any of its own.
        QList<QByteArray> lines = readAll(account.path(u"env"_s)).split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        QVERIFY(QSet<QByteArray>(lines.begin(), lines.end()).contains(expected));
        QCOMPARE(lines.size(), account.controller->serverEnvironment().keys().size());
    }
};

QTEST_MAIN(BadInputTest)
#include "tst_bad_input.moc"
