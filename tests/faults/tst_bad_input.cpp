// Bad input of every kind the application reads or passes on, each tried and survived: broken
// bundle and autostart files, picked paths of any bytes, folders in the way, a port held by a
// stranger, a server flooding its log, and a huge inherited environment.
// FAULTS_SEED overrides the seed of the random inputs.
#include "controller/port_choice.h"
#include "mode_server.h"
#include "picker_roundtrip.h"
#include "platform/xdg_autostart.h"
#include "runtime/server_log.h"
#include "runtime/server_process.h"
#include "test_account.h"

#include <QDir>
#include <QRandomGenerator>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(contents);
}

ControllerTimings patientTimings()
{
    ControllerTimings timings;
    timings.readinessTick = std::chrono::milliseconds(50);
    timings.readinessAttemptLimit = 400; // the servers here end by themselves first
    timings.probeTimeout = std::chrono::milliseconds(500);
    return timings;
}

// An account whose bundle uses a free loopback port and a shell script as its runtime.
struct Account : TestAccount
{
    explicit Account(const QString& script = QStringLiteral("exec sleep 300"))
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        writeInfoJson("{\"TarvessaServerPort\": " + QByteArray::number(probe.serverPort()) + "}");
        environment.insert(QStringLiteral("RECORD_DIR"), root());
        installRuntime(script);
    }
    ~Account()
    {
        if (controller && controller->serverProcess) {
            controller->serverProcess->killGroup();
            QSignalSpy(controller->serverProcess.get(), &ServerProcess::finished).wait(5000);
        }
    }
    TarvessaAudioServerAppDelegate& start()
    {
        controller = makeController(patientTimings());
        controller->buildStatusMenu();
        controller->startServer(false);
        return *controller;
    }
    QString state(const char* relative) const
    {
        return home() + QStringLiteral("/.local/state/Tarvessa Audio Server/") +
               QLatin1String(relative);
    }
    std::unique_ptr<TarvessaAudioServerAppDelegate> controller;
};

} // namespace

class BadInputTest : public QObject
{
    Q_OBJECT

    QRandomGenerator random;

    QByteArray randomBytes(int size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char& byte : bytes)
            byte = char(random.bounded(256));
        return bytes;
    }

    // Mostly the bytes JSON and UTF-8 treat specially: escapes, controls, sequences good and bad.
    QByteArray randomPath()
    {
        static const QList<QByteArray> pieces =
            QByteArrayLiteral("/|\"|\\|\b|\f|\n|\r|\t|\0|\x1f|\x7f|a| |\xc3\xa9|\xe2\x82\xac|"
                              "\xf0\x9f\x8e\xb5|\xef\xbb\xbf|\xef\xbf\xbe|\xc0\xaf|\xed\xa0\x80|"
                              "\xf4\x90\x80\x80|\xe2\x82|\x80")
                .split('|');
        QByteArray path;
        for (int count = random.bounded(24); count > 0; --count)
            path += random.bounded(4) == 0 ? randomBytes(1)
                                           : pieces.at(random.bounded(int(pieces.size())));
        return path;
    }

private slots:
    void initTestCase()
    {
        const quint32 seed = qEnvironmentVariableIsSet("FAULTS_SEED")
                                 ? qEnvironmentVariable("FAULTS_SEED").toUInt()
                                 : 7151u;
        qInfo("random inputs from seed %u (FAULTS_SEED overrides)", seed);
        random.seed(seed);
    }

    void infoJsonThatCannotBeUsed_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<qint64>("port");
        QTest::newRow("random bytes") << randomBytes(4096) << DefaultServerPort;
        QTest::newRow("20 MiB, a good port inside")
            << "{\"TarvessaServerPort\": 5123, \"pad\": \"" + QByteArray(20 << 20, 'x') + "\"}"
            << DefaultServerPort;
        QTest::newRow("100k brackets") << QByteArray(100'000, '[') << DefaultServerPort;
        QTest::newRow("bad value, good legacy key")
            << QByteArray(R"x({"TarvessaServerPort": "\u0000", "QuarleServerPort": 5123})x")
            << qint64(5123);
    }
    void infoJsonThatCannotBeUsed()
    {
        QFETCH(QByteArray, contents);
        QFETCH(qint64, port);
        TestAccount account;
        account.writeInfoJson(contents);
        QCOMPARE(account.makeController()->serverPort, port);
        QVERIFY(!choosePortFromFile(account.folders().infoJsonPath()).problem.isEmpty());
    }

    void autostartEntryOfRandomBytes_data()
    {
        QTest::addColumn<QByteArray>("contents");
        for (int size : {1, 200, 4096, 70'000})
            QTest::addRow("%d bytes", size) << randomBytes(size);
    }
    void autostartEntryOfRandomBytes()
    {
        QFETCH(QByteArray, contents);
        TestAccount account;
        const QString program = account.path(QStringLiteral("opt/TarvessaAudioServer"));
        writeFile(program, "#!/bin/sh\n");
        QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);
        XdgAutostartService service(account.folders(), program, account.workspace,
                                    [](const QString&, const QStringList&) { return true; });
        writeFile(service.entryPath(), contents);
        QCOMPARE(service.status(), LoginItemService::NotFound);
        QVERIFY(!service.registerItem());
        QCOMPARE(service.status(), LoginItemService::Enabled);
        QCOMPARE(readAll(service.entryPath()), service.entryContents());
    }

    void pickedPathsOfAnyBytes()
    {
        int refused = 0;
        for (int i = 0; i < 20'000; ++i) {
            const QByteArray path = randomPath();
            const QString fault = pickerRoundTripFault(path);
            QVERIFY2(fault.isEmpty(), qPrintable(fault + u' ' + QString::fromLatin1(path.toHex())));
            refused += !encodePickerResult(PickerStatus::Selected, path, std::nullopt);
        }
        QVERIFY(refused > 1000 && refused < 19'000); // both outcomes were tried
    }

    void foldersInTheWay_data()
    {
        QTest::addColumn<QString>("inTheWay");
        QTest::addColumn<bool>("isFolder");
        QTest::addColumn<QString>("failure");
        QTest::newRow("a file at the data folder")
            << QStringLiteral(".local/share/Tarvessa Audio Server") << false
            << QStringLiteral("Cannot create the folder");
        QTest::newRow("a file at the log folder")
            << QStringLiteral(".local/state/Tarvessa Audio Server") << false
            << QStringLiteral("Cannot create the folder");
        QTest::newRow("a folder at the log file")
            << QStringLiteral(".local/state/Tarvessa Audio Server/server.log") << true
            << QStringLiteral("Cannot open the server log");
        QTest::newRow("a folder where the full log rotates to")
            << QStringLiteral(".local/state/Tarvessa Audio Server/server.previous.log") << true
            << QStringLiteral("Cannot rotate the server log");
    }
    void foldersInTheWay()
    {
        QFETCH(QString, inTheWay);
        QFETCH(bool, isFolder);
        QFETCH(QString, failure);
        Account account;
        const QString blocker = account.home() + u'/' + inTheWay;
        const QString kept = isFolder ? blocker + QStringLiteral("/kept") : blocker;
        writeFile(kept, "kept");
        const QString database =
            account.home() + QStringLiteral("/.local/share/Tarvessa Audio Server/quarle.sqlite");
        if (!inTheWay.startsWith(QLatin1String(".local/share")))
            writeFile(database, "library");
        QFile full(account.state("server.log")); // over the limit, so it would be rotated
        if (inTheWay.endsWith(QLatin1String("previous.log")))
            QVERIFY(full.open(QIODevice::WriteOnly) && full.resize(ServerLogRotationLimit + 1));

        const TarvessaAudioServerAppDelegate& controller = account.start();
        const QString message = controller.serverState.message();
        QVERIFY2(message.startsWith(
                     QLatin1String("Tarvessa Audio Server could not prepare its data folders: ") +
                     failure),
                 qPrintable(message));
        QVERIFY(!controller.serverProcess && !controller.logHandle);
        QCOMPARE(account.alerts.shown.size(), 1);
        // Nothing already there is lost.
        QCOMPARE(readAll(kept), QByteArray("kept"));
        if (!inTheWay.startsWith(QLatin1String(".local/share")))
            QCOMPARE(readAll(database), QByteArray("library"));
        if (full.isOpen())
            QCOMPARE(QFileInfo(full.fileName()).size(), ServerLogRotationLimit + 1);
    }

    void aStrangerHoldsThePort()
    {
        ModeServer stranger(ModeServer::response(200, R"x({"mode":"other"})x"));
        TestAccount account;
        // The stand-in server from the assembled bundle, which cannot listen where it should.
        QDir(account.bundle()).rmdir(QStringLiteral("Resources"));
        QFile::link(QStringLiteral(TARVESSA_BUNDLE_DIR "/Resources"),
                    account.bundle() + QStringLiteral("/Resources"));
        account.writeInfoJson(
            "{\"TarvessaServerPort\": " + QByteArray::number(stranger.serverPort()) + "}");
        auto controller = account.makeController(patientTimings());
        controller->buildStatusMenu();
        controller->detectOrStartServer(false);
        QTRY_VERIFY_WITH_TIMEOUT(controller->serverState.kind() == ServerState::Case::failed,
                                 20000);
        QCOMPARE(controller->serverState.message(),
                 QStringLiteral("Server exited with status 1. Check the server log for details."));
        QCOMPARE(controller->statusMenuItem->text(), controller->serverState.message());
        QVERIFY(!controller->serverProcess);
        QVERIFY(stranger.requests() >= 1); // asked, and not taken for ours
        QVERIFY(readAll(controller->serverLogURL().toLocalFile()).contains("EADDRINUSE"));
    }

    void aFloodedLogIsRotatedAtTheNextStart()
    {
        Account account(QStringLiteral("head -c 100000000 /dev/zero | tr '\\0' x\nexit 0"));
        account.start();
        QTRY_VERIFY_WITH_TIMEOUT(!account.controller->serverProcess, 60000);
        QCOMPARE(account.controller->serverState, ServerState::stopped());

        account.installRuntime(QStringLiteral("exit 0"));
        account.start();
        QTRY_VERIFY_WITH_TIMEOUT(!account.controller->serverProcess, 10000);
        QFile previous(account.state("server.previous.log"));
        QVERIFY(previous.open(QIODevice::ReadOnly));
        const qsizetype header = launchHeader(QDateTime::currentDateTimeUtc()).size();
        QCOMPARE(previous.size(), header + 100'000'000);
        QVERIFY(previous.read(40).startsWith("\n--- Tarvessa Audio Server launch"));
        QVERIFY(previous.seek(previous.size() - 1) && previous.read(1) == "x");
        const QByteArray log = readAll(account.state("server.log"));
        QVERIFY(log.startsWith("\n--- Tarvessa Audio Server launch"));
        QCOMPARE(log.size(), header); // the new header alone
        QVERIFY(previous.remove());   // the disk is freed now, not at the end of the run
    }

    void tenThousandInheritedVariables()
    {
        Account account(QStringLiteral("env > \"$RECORD_DIR/env\""));
        QSet<QByteArray> expected;
        for (int i = 0; i < 10'000; ++i) {
            const QString name = QStringLiteral("INHERITED_%1").arg(i);
            const QString value = QStringLiteral("value %1 = with spaces, \u00e9 and '\"").arg(i);
            account.environment.insert(name, value);
            expected.insert((name + u'=' + value).toUtf8());
        }
        account.start();
        QTRY_VERIFY_WITH_TIMEOUT(!account.controller->serverProcess, 10000);
        QCOMPARE(account.controller->serverState, ServerState::stopped());
        const QList<QByteArray> lines = readAll(account.path(QStringLiteral("env"))).split('\n');
        QSet<QByteArray> arrived(lines.begin(), lines.end());
        QVERIFY(arrived.contains(expected));
        QCOMPARE(lines.size(),
                 account.controller->serverEnvironment().keys().size() + 2); // PWD, last ""
    }
};

QTEST_MAIN(BadInputTest)
#include "tst_bad_input.moc"
