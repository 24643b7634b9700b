// The stand-in server from the assembled bundle, run through the machine's node, and the real
// application binary: a second launch hands over to the first, and a quit signal stops both.
#include "lifecycle_fixture.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>

namespace {
const QString BundleResources = QStringLiteral(TARVESSA_BUNDLE_DIR "/Resources");

// A bundle of our own: the real binary and Info.json, the demo's Resources linked in.
void makeBundle(const TestAccount& account, quint16 port)
{
    QDir(account.bundle()).mkpath(QStringLiteral("bin"));
    QDir(account.bundle()).rmdir(QStringLiteral("Resources"));
    QFile::link(BundleResources, account.bundle() + QStringLiteral("/Resources"));
    QFile::copy(QStringLiteral(TARVESSA_BUNDLE_DIR "/bin/TarvessaAudioServer"),
                account.bundle() + QStringLiteral("/bin/TarvessaAudioServer"));
    QFile info(account.bundle() + QStringLiteral("/Info.json"));
    info.open(QIODevice::WriteOnly);
    info.write("{\"TarvessaServerPort\": " + QByteArray::number(port) + "}");
}

int countRequests(const QString& log)
{
    return static_cast<int>(log.count(QLatin1String("GET /api/app-mode")));
}
} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void standInServerRunsFromTheBundle()
    {
        const quint16 port = freePort();
        TestAccount account;
        makeBundle(account, port);
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

    void secondLaunchHandsOverAndSignalsQuit()
    {
        const quint16 port = freePort();
        TestAccount account;
        makeBundle(account, port);
        const QString runtimeDir = account.path(QStringLiteral("run"));
        QDir().mkpath(runtimeDir);
        QFile::setPermissions(runtimeDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment environment = account.environment;
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
        const QString program = account.bundle() + QStringLiteral("/bin/TarvessaAudioServer");
        const QString logPath =
            account.home() + QStringLiteral("/.local/state/Tarvessa Audio Server/server.log");
        auto logText = [&] {
            QFile log(logPath);
            log.open(QIODevice::ReadOnly);
            return QString::fromUtf8(log.readAll());
        };

        QProcess first;
        first.setProcessEnvironment(environment);
        first.start(program, {});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QLatin1String("listening")), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(countRequests(logText()) >= 1, 5000);
        const int before = countRequests(logText());

        // The second launch asks the first to open the web interface (a probe) and exits.
        QProcess second;
        second.setProcessEnvironment(environment);
        second.start(program, {QStringLiteral("--no-such-option")});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(countRequests(logText()) > before, 5000);
        QVERIFY(second.readAllStandardError().contains("--no-such-option"));
        QCOMPARE(first.state(), QProcess::Running);

        // SIGTERM to the application quits it through its termination steps.
        ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QLatin1String("SIGTERM received")), 10000);
        QTcpSocket check;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                check.abort();
                check.connectToHost(QHostAddress::LocalHost, port);
                return !check.waitForConnected(200);
            }(),
            10000);
    }
};

QTEST_MAIN(EndToEndTest)
#include "tst_end_to_end.moc"
