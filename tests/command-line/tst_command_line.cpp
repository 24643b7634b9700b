// The real executable from a bundle of its own in a temporary account: what its options answer,
// and that --quit ends a running instance the way the menu's Quit does.
#include "test_account.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTest>

class CommandLine : public QObject
{
    Q_OBJECT

    TestAccount account;
    QString executable = account.bundle() + QStringLiteral("/bin/TarvessaAudioServer");
    QString runtimeFolder = account.path(QStringLiteral("runtime"));
    QString serverPidFile = account.path(QStringLiteral("server.pid"));

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
        QDir(account.bundle()).mkpath(QStringLiteral("bin"));
        QVERIFY(QFile::copy(QStringLiteral(TARVESSA_EXECUTABLE), executable));
        QTcpServer free;
        QVERIFY(free.listen(QHostAddress::LocalHost));
        account.writeInfoJson(
            QJsonObject{{QStringLiteral("TarvessaServerPort"), free.serverPort()}});
        // A server that never answers: the instance stays "starting" until it is asked to quit.
        account.installRuntime(QStringLiteral("echo $$ >'%1'; exec sleep 600").arg(serverPidFile));
        QVERIFY(QDir().mkpath(runtimeFolder));
        QFile::setPermissions(runtimeFolder,
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        account.environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder);
        account.environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        account.environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                                   QStringLiteral("disabled:"));
        // No browser: a recording stand-in for xdg-open comes first on PATH.
        QDir(account.root()).mkpath(QStringLiteral("bin"));
        QFile opener(account.path(QStringLiteral("bin/xdg-open")));
        QVERIFY(opener.open(QIODevice::WriteOnly));
        opener.write("#!/bin/sh\nexit 0\n");
        opener.close();
        opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        account.environment.insert(QStringLiteral("PATH"), account.path(QStringLiteral("bin")) +
                                                               QStringLiteral(":/usr/bin:/bin"));
    }

    // Each answers and exits without a display (X11 asked for, none there) and claims nothing.
    void answersWithoutStarting_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("stdoutHas");
        QTest::addColumn<QString>("stderrHas");
        const QStringList usage{QStringLiteral("Usage:"), QStringLiteral("-h, --help "),
                                QStringLiteral("-v, --version "),
                                QStringLiteral("\n  --autostart "), QStringLiteral("\n  --quit ")};
        QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0 << usage << QString();
        QTest::newRow("help beside an unknown option")
            << QStringList{QStringLiteral("--bogus"), QStringLiteral("-h")} << 0 << usage
            << QString();
        QTest::newRow("version") << QStringList{QStringLiteral("--version")} << 0
                                 << QStringList{QStringLiteral(
                                        "Tarvessa Audio Server " TARVESSA_VERSION "\n")}
                                 << QString();
        QTest::newRow("quit, none running") << QStringList{QStringLiteral("--quit")} << 1
                                            << QStringList{} << QStringLiteral("not running");
    }
    void answersWithoutStarting()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QStringList, stdoutHas);
        QFETCH(QString, stderrHas);
        QProcessEnvironment environment = account.environment;
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.remove(QStringLiteral("DISPLAY"));
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
        const Result unknown = run({QStringLiteral("--bogus")}, account.environment);
        QCOMPARE(unknown.exitCode, 0);
        QVERIFY2(unknown.err.contains(QStringLiteral("unknown option --bogus")) &&
                     unknown.err.contains(QStringLiteral("--help")) &&
                     unknown.err.count(u'\n') == 1,
                 qPrintable(unknown.err));
        QCOMPARE(first.state(), QProcess::Running);

        QFile pidFile(serverPidFile);
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const QString serverProc =
            QStringLiteral("/proc/") + QString::fromLatin1(pidFile.readAll().trimmed());
        const Result quit = run({QStringLiteral("--quit")}, account.environment);
        QCOMPARE(quit.exitCode, 0);
        // "Gone" means gone: the first instance has already ended, its server with it.
        QVERIFY(first.waitForFinished(1000));
        QCOMPARE(first.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(serverProc + QStringLiteral("/cmdline")) ||
                                     QFile(serverProc + QStringLiteral("/cmdline")).size() == 0,
                                 5000);
    }
};

QTEST_GUILESS_MAIN(CommandLine)
#include "tst_command_line.moc"
