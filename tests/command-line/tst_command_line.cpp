// The real executable from a bundle of its own in a temporary account: what its options answer,
// and that --quit ends a running instance the way the menu's Quit does.
#include "test_account.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTest>

using namespace Qt::StringLiterals;

class CommandLine : public QObject
{
    Q_OBJECT

    TestAccount account;
    QString executable = account.bundle() + u"/bin/TarvessaAudioServer"_s;
    QString runtimeFolder = account.path(u"runtime"_s);
    QString serverPidFile = account.path(u"server.pid"_s);

    struct Result
    {
        int exitCode = -1;
        QString out, err;
    };
    Result run(const QStringList& arguments, const QProcessEnvironment& environment)
    {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(executable, arguments);
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
        }
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }

private slots:
    void initTestCase()
    {
        QDir(account.bundle()).mkpath(u"bin"_s);
        QVERIFY(QFile::copy(QStringLiteral(TARVESSA_EXECUTABLE), executable));
        QTcpServer free;
        QVERIFY(free.listen(QHostAddress::LocalHost));
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, free.serverPort()}});
        // A server that never answers: the instance stays "starting" until it is asked to quit.
        account.installRuntime(u"echo $$ >'%1'; exec sleep 600"_s.arg(serverPidFile));
        QVERIFY(QDir().mkpath(runtimeFolder));
        QFile::setPermissions(runtimeFolder,
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        account.environment.insert(u"XDG_RUNTIME_DIR"_s, runtimeFolder);
        account.environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        account.environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"disabled:"_s);
        // No browser: a recording stand-in for xdg-open comes first on PATH.
        QVERIFY(writeFile(account.path(u"bin/xdg-open"_s), "#!/bin/sh\nexit 0\n"));
        QFile::setPermissions(account.path(u"bin/xdg-open"_s),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        account.environment.insert(u"PATH"_s, account.path(u"bin"_s) + u":/usr/bin:/bin"_s);
    }

    // Each answers and exits without a display (X11 asked for, none there) and claims nothing.
    void answersWithoutStarting_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("stdoutHas");
        QTest::addColumn<QString>("stderrHas");
        const QStringList usage{u"Usage:"_s, u"-h, --help "_s, u"-v, --version "_s,
                                u"\n  --autostart "_s, u"\n  --quit "_s};
        QTest::newRow("help") << QStringList{u"--help"_s} << 0 << usage << QString();
        QTest::newRow("help beside an unknown option")
            << QStringList{u"--bogus"_s, u"-h"_s} << 0 << usage << QString();
        QTest::newRow("version") << QStringList{u"--version"_s} << 0
                                 << QStringList{QStringLiteral(
                                        "Tarvessa Audio Server " TARVESSA_VERSION "\n")}
                                 << QString();
        QTest::newRow("quit, none running")
            << QStringList{u"--quit"_s} << 1 << QStringList{} << u"not running"_s;
    }
    void answersWithoutStarting()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QStringList, stdoutHas);
        QFETCH(QString, stderrHas);
        QProcessEnvironment environment = account.environment;
        environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        environment.remove(u"DISPLAY"_s);
        const Result result = run(arguments, environment);
        QCOMPARE(result.exitCode, exitCode);
        for (const QString& part : stdoutHas)
            QVERIFY2(result.out.contains(part), qPrintable(result.out));
        QVERIFY2(result.err.contains(stderrHas), qPrintable(result.err));
        QVERIFY(QDir(runtimeFolder).isEmpty());
        QVERIFY(!QFile::exists(serverPidFile));
    }

    void quitEndsTheRunningInstanceAndItsServer()
    {
        QProcess first;
        first.setProcessEnvironment(account.environment);
        first.start(executable, {});
        // On a failure, SIGTERM: the instance then stops its server rather than orphan it.
        const auto stop = qScopeGuard([&first] {
            first.terminate();
            first.waitForFinished(15000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(QFile(serverPidFile).size() > 0, 20000);
        // An unknown option is named, then the launch goes on: here, it asks the first to reopen.
        const Result unknown = run({u"--bogus"_s}, account.environment);
        QCOMPARE(unknown.exitCode, 0);
        QVERIFY2(unknown.err.contains(u"unknown option --bogus"_s) &&
                     unknown.err.contains(u"--help"_s) && unknown.err.count(u'\n') == 1,
                 qPrintable(unknown.err));
        QCOMPARE(first.state(), QProcess::Running);

        QFile pidFile(serverPidFile);
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const QString serverProc = u"/proc/"_s + QString::fromLatin1(pidFile.readAll().trimmed());
        const Result quit = run({u"--quit"_s}, account.environment);
        QCOMPARE(quit.exitCode, 0);
        // "Gone" means gone: the first instance has already ended, its server with it.
        QVERIFY(first.waitForFinished(1000));
        QCOMPARE(first.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(serverProc + u"/cmdline"_s) ||
                                     QFile(serverProc + u"/cmdline"_s).size() == 0,
                                 5000);
    }
};

QTEST_GUILESS_MAIN(CommandLine)
#include "tst_command_line.moc"
