// The real executable from a bundle of its own in a temporary account: what its options answer,
// that a launch beside an instance that does not answer gives up, that an unknown option is named
// and the launch goes on, and that --quit ends a running instance the way the menu's Quit does.
#include "controller/single_instance.h"
#include "lifecycle.h"

#include <QProcess>
#include <QScopeGuard>

using namespace Qt::StringLiterals;

class CommandLine : public QObject
{
    Q_OBJECT

    TestAccount account;
    QTemporaryDir runtime;
    QString executable = account.bundle() + u"/bin/TarvessaAudioServer"_s;
    QString serverPidFile = account.path(u"server.pid"_s);

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(account.bundle() + u"/bin"_s));
        QVERIFY(QFile::copy(QStringLiteral(TARVESSA_EXECUTABLE), executable));
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, freePort()}});
        // A server that never answers: the instance stays "starting" until it is asked to quit.
        account.installRuntime(u"echo $$ >'%1'; exec sleep 600"_s.arg(serverPidFile));
        account.environment.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
        account.environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        account.environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"disabled:"_s);
    }

    // Each answers on one stream, the other left empty, and claims nothing; the options need no
    // display (X11 asked for, none there). A hung holder is this test's own instance: this thread
    // waits for the launch and cannot answer it.
    void answersWithoutStarting_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("hungHolder");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("said");
        const QStringList quit{u"--quit"_s};
        QTest::newRow("help") << QStringList{u"--help"_s} << false << 0
                              << QStringList{u"Usage:"_s, u"-v, --version "_s, u"\n  --quit "_s};
        QTest::newRow("version") << QStringList{u"--version"_s} << false << 0
                                 << QStringList{QStringLiteral(
                                        "Tarvessa Audio Server " TARVESSA_VERSION "\n")};
        QTest::newRow("quit, none running")
            << quit << false << 1 << QStringList{u"--quit: it is not running\n"_s};
        QTest::newRow("quit, holder hung")
            << quit << true << 1 << QStringList{u"--quit: the running instance does not answer"_s};
        QTest::newRow("launch, holder hung")
            << QStringList() << true << 1
            << QStringList{u"not starting a second instance: another instance holds the lock"_s};
    }
    void answersWithoutStarting()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, hungHolder);
        QFETCH(int, exitCode);
        QFETCH(QStringList, said);
        SingleInstance holder(runtime.path());
        QVERIFY(!hungHolder || holder.claim() == SingleInstance::Outcome::Primary);
        QProcessEnvironment environment = account.environment;
        environment.insert(u"QT_QPA_PLATFORM"_s, arguments.isEmpty() ? u"offscreen"_s : u"xcb"_s);
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(executable, arguments);
        QVERIFY(process.waitForFinished(30000)); // killed as it goes, should it still run
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
        const QString answer = QString::fromLocal8Bit(process.readAllStandardOutput());
        const QString error = QString::fromLocal8Bit(process.readAllStandardError());
        QCOMPARE(exitCode ? answer : error, QString());
        for (const QString& part : said)
            QVERIFY2((exitCode ? error : answer).contains(part), qPrintable(answer + error));
        QVERIFY(hungHolder || QDir(runtime.path()).isEmpty());
        QVERIFY(!QFile::exists(serverPidFile));
    }

    void anUnknownOptionIsNamedAndQuitEndsTheInstanceAndItsServer()
    {
        QProcess first;
        first.setProcessEnvironment(account.environment);
        first.start(executable, {u"--bogus"_s});
        // On a failure, SIGTERM: the instance then stops its server rather than orphan it.
        const auto stop = qScopeGuard([&first] {
            first.terminate();
            first.waitForFinished(15000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(QFile(serverPidFile).size() > 0, 20000);
        const qint64 server = readAll(serverPidFile).trimmed().toLongLong();
        QProcess quit;
        quit.setProcessEnvironment(account.environment);
        quit.start(executable, {u"--quit"_s});
        QVERIFY(quit.waitForFinished(30000));
        QCOMPARE(quit.exitCode(), 0);
        // "Gone" means gone: the first instance has already ended, its server with it.
        QVERIFY(first.waitForFinished(1000));
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(
            first.readAllStandardError().split('\n').first(),
            "Tarvessa Audio Server: unknown option --bogus, ignored (--help lists the options)");
        QTRY_VERIFY_WITH_TIMEOUT(processIsGone(server), 5000);
    }
};

QTEST_GUILESS_MAIN(CommandLine)
#include "tst_command_line.moc"
