// What a demanding user or a hostile program of the same user can do: floods, garbage and idle
// connections on the instance socket, a hung first instance, bursts of failures, no HOME, install
// paths no autostart reader can take, alert text with markup in it, and a folder picker that loses
// its display or its output.
#include "platform/desktop_services.h"
#include "platform/native_names.h"
#include "platform/single_instance.h"
#include "platform/xdg_autostart.h"
#include "test_account.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Counts how deeply alerts nest; the first shown runs `whileShown`, as clicks during it would.
struct NestingAlerts final : Alerts
{
    int run(const AlertRequest& request) override
    {
        texts.append(request.informativeText);
        deepest = std::max(deepest, ++depth);
        if (auto hook = std::exchange(whileShown, {}))
            hook();
        --depth;
        return 0;
    }
    std::function<void()> whileShown;
    QStringList texts;
    int depth = 0;
    int deepest = 0;
};

// The first line a child prints: Xvfb's display number.
QByteArray firstLine(QProcess& process)
{
    if (!QTest::qWaitFor([&] { return process.canReadLine(); }, 10000))
        return {};
    return process.readLine().trimmed();
}

qsizetype openDescriptors()
{
    return QDir(u"/proc/self/fd"_s).entryList(QDir::NoDotAndDotDot).size();
}

const QByteArray ClosedUnexpectedly =
    R"({"status":"error","message":"The folder picker closed unexpectedly."})"
    "\n";

} // namespace

class HostileTest : public QObject
{
    Q_OBJECT

private slots:
    void homeFromThePasswdEntry()
    {
        // Unset here too, or Qt's own fallback would read this process's HOME.
        const QByteArray home0 = qgetenv("HOME");
        qunsetenv("HOME");
        const BaseFolders folders(QProcessEnvironment(), u"/b"_s);
        const QString dataHome = folders.dataHome();
        qputenv("HOME", home0);
        const QString home = QFile::decodeName(::getpwuid(::getuid())->pw_dir);
        QVERIFY(home != u"/"_s);
        QCOMPARE(dataHome, QDir::cleanPath(home + u"/.local/share"_s));
    }

    void alertTextIsShownExactly()
    {
        MessageBoxAlerts alerts;
        const QString text = u"Cannot create the folder /m/My  Music <b>x</b> &amp;\n  indented"_s;
        QString seen;
        int format = -1;
        QTimer look;
        connect(&look, &QTimer::timeout, this, [&] {
            for (QWidget* window : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(window); box && box->isVisible()) {
                    auto* label = box->findChild<QLabel*>(u"qt_msgbox_informativelabel"_s);
                    seen = label ? label->text() : u"no label"_s;
                    format = label ? label->textFormat() : -1;
                    box->buttons().first()->click();
                    look.stop();
                }
        });
        look.start(20);
        QCOMPARE(alerts.run({AlertRequest::Style::Warning, u"T"_s, text, {u"OK"_s}}), 0);
        QCOMPARE(seen, text);
        QCOMPARE(format, int(Qt::PlainText));
    }

    void oneAlertAtATime()
    {
        TestAccount account; // no runtime: every start fails at once
        NestingAlerts alerts;
        auto controller = std::make_unique<TarvessaAudioServerAppDelegate>(
            TarvessaAudioServerAppDelegate::Services{alerts, account.workspace, account.clipboard,
                                                     account.loginItems, account.folders(), [] {}});
        controller->buildStatusMenu();
        alerts.whileShown = [&] {
            for (int i = 0; i < 300; ++i) {
                controller->startServer(false);
                controller->presentLaunchError(u"failure %1"_s.arg(i));
                QCOMPARE(controller->serverState.message(), u"failure %1"_s.arg(i)); // at once
            }
        };
        controller->startServer(false);
        QCOMPARE(alerts.deepest, 1);
        QCOMPARE(alerts.texts,
                 (QStringList{u"The bundled Node.js runtime is missing or not executable."_s,
                              u"failure 299"_s}));
        QCOMPARE(account.workspace.openedFolders.size(), 2); // each answered "Show Log"
    }

    void instanceSocketUnderAttack()
    {
        QTemporaryDir folder;
        SingleInstance instance(folder.path());
        instance.setLimits({16, 60000, 4, 3000});
        QCOMPARE(instance.claim(), SingleInstance::Outcome::Primary);
        QString path = folder.filePath(u"io.tarvessa.tarvessa-audio-server.socket"_s);
        QSignalSpy reopened(&instance, &SingleInstance::reopenRequested);
        auto connectClient = [&] {
            auto* client = new QLocalSocket(this);
            client->connectToServer(path);
            return client;
        };
        // Read as it arrives: the server closes straight after its answer.
        auto reopenWorks = [&] {
            std::unique_ptr<QLocalSocket> client(connectClient());
            QByteArray answer;
            connect(client.get(), &QLocalSocket::readyRead, this,
                    [&] { answer += client->readAll(); });
            client->write("reopen\n");
            (void)QTest::qWaitFor(
                [&] {
                    return answer.contains('\n') ||
                           client->state() == QLocalSocket::UnconnectedState;
                },
                5000);
            return answer == "ok\n";
        };
        // Bytes with no line feed: cut off long before the connection's lifetime.
        std::unique_ptr<QLocalSocket> flood(connectClient());
        flood->write(QByteArray(1 << 20, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(flood->state() == QLocalSocket::UnconnectedState, 10000);
        // Only four served at once: the rest are closed as they come.
        QList<QLocalSocket*> idle;
        for (int i = 0; i < 12; ++i)
            idle.append(connectClient());
        const auto closed = [&] {
            return std::count_if(idle.begin(), idle.end(), [](QLocalSocket* socket) {
                return socket->state() == QLocalSocket::UnconnectedState;
            });
        };
        QTRY_COMPARE_WITH_TIMEOUT(closed(), 8, 10000);
        QVERIFY(!reopenWorks()); // all four places are taken
        qDeleteAll(idle);
        QVERIFY(QTest::qWaitFor(reopenWorks, 10000)); // once the server has seen them go
        QCOMPARE(reopened.size(), 1);

        // An idle connection is closed when its lifetime is over.
        QTemporaryDir other;
        SingleInstance second(other.path());
        second.setLimits({16, 200, 4, 3000});
        QCOMPARE(second.claim(), SingleInstance::Outcome::Primary);
        path = other.filePath(u"io.tarvessa.tarvessa-audio-server.socket"_s);
        QLocalSocket quiet;
        quiet.connectToServer(path);
        QTRY_VERIFY_WITH_TIMEOUT(quiet.state() == QLocalSocket::UnconnectedState, 10000);

        // Garbage, partial requests and clients that vanish: never taken for a request, and
        // no descriptor left behind. SOAK_CYCLES overrides the number of connections.
        const qsizetype baseline = openDescriptors();
        QSignalSpy reopenedSecond(&second, &SingleInstance::reopenRequested);
        QRandomGenerator random(12);
        std::vector<std::unique_ptr<QLocalSocket>> clients;
        const int cycles = qEnvironmentVariable("SOAK_CYCLES", u"300"_s).toInt();
        for (int cycle = 0; cycle < cycles; ++cycle) {
            clients.emplace_back(connectClient());
            QByteArray garbage(random.bounded(4096), Qt::Uninitialized);
            for (char& byte : garbage)
                byte = char(random.bounded(256));
            if (random.bounded(4) == 0 && !garbage.startsWith('\n'))
                garbage.prepend("reopen");
            clients.back()->write(garbage);
            if (random.bounded(2))
                clients.back()->abort();
            if (clients.size() > 8)
                clients.erase(clients.begin());
            QTest::qWait(random.bounded(3));
        }
        clients.clear();
        QVERIFY(QTest::qWaitFor(reopenWorks, 10000));
        QCOMPARE(reopenedSecond.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), baseline, 5000);
    }

    // The holder does not answer: this thread is busy in the second claim, as if it hung.
    void aHungFirstInstanceIsNotFought()
    {
        QTemporaryDir folder;
        SingleInstance first(folder.path());
        QCOMPARE(first.claim(), SingleInstance::Outcome::Primary);
        SingleInstance second(folder.path());
        second.setLimits({16, 2000, 4, 200});
        QCOMPARE(second.claim(), SingleInstance::Outcome::HolderNotAnswering);
        QVERIFY(!second.errorText().isEmpty());
    }

    // Either both of the desktop's readers of the entry start the program, or registering
    // says why not and the item is not shown as on.
    void autostartEntryForAnyInstallPath_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("mustRegister");
        QTest::newRow("percent") << u"100% music"_s << false;
        QTest::newRow("backslash") << u"a\\b"_s << false;
        QTest::newRow("quotes, dollar, space") << u"a \"b\" $c `d` 'e' \u00e9;"_s << true;
    }
    void autostartEntryForAnyInstallPath()
    {
        QFETCH(QString, name);
        QFETCH(bool, mustRegister);
        TestAccount account;
        const QString folder = account.path(name);
        QVERIFY(QDir().mkpath(folder));
        const QString program = folder + u"/TarvessaAudioServer"_s;
        QVERIFY(QFile::link(u"/bin/true"_s, program));
        XdgAutostartService service(account.folders(), program, account.workspace,
                                    [](const QString&, const QStringList&) { return true; });
        const Expected<void> registered = service.registerItem();
        if (!registered.ok()) {
            const QString& failure = registered.error().description;
            QVERIFY(!mustRegister);
            QVERIFY2(failure.contains(program), qPrintable(failure));
            QVERIFY(service.status() != LoginItemService::Enabled);
            QVERIFY(!QFileInfo::exists(service.entryPath()));
            // One written by hand or by an earlier version is not shown as on either.
            QDir().mkpath(QFileInfo(service.entryPath()).path());
            QFile entry(service.entryPath());
            QVERIFY(entry.open(QIODevice::WriteOnly));
            entry.write(service.entryContents());
            entry.close();
            QVERIFY(service.status() != LoginItemService::Enabled);
            return;
        }
        QCOMPARE(service.status(), LoginItemService::Enabled);
        bool checked = false;
        const QString python = u"/usr/bin/python3"_s;
        QProcess glib;
        glib.start(python, {u"-c"_s,
                            u"import sys\n"
                            "try:\n"
                            "    import gi\n"
                            "    gi.require_version('Gio', '2.0')\n"
                            "    from gi.repository import Gio, GLib\n"
                            "except Exception:\n"
                            "    sys.exit(3)\n"
                            "i = Gio.DesktopAppInfo.new_from_filename(sys.argv[1])\n"
                            "argv = GLib.shell_parse_argv(i.get_commandline())[1]\n"
                            "sys.stdout.buffer.write(argv[0].encode())\n"_s,
                            service.entryPath()});
        if (glib.waitForFinished(20000) && glib.exitCode() != 3) {
            QVERIFY2(glib.exitCode() == 0, glib.readAllStandardError().constData());
            QCOMPARE(QString::fromUtf8(glib.readAllStandardOutput()), program);
            checked = true;
        }
        const QString generator =
            u"/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator"_s;
        if (QFileInfo(generator).isExecutable()) {
            QTemporaryDir units;
            QProcess run;
            QProcessEnvironment env = account.environment;
            env.insert(u"XDG_CONFIG_DIRS"_s, account.path(u"none"_s));
            run.setProcessEnvironment(env);
            run.start(generator, {units.path(), units.path(), units.path()});
            QVERIFY(run.waitForFinished(20000));
            const QStringList made = QDir(units.path()).entryList({u"*.service"_s});
            QVERIFY2(made.size() == 1, run.readAllStandardError().constData());
            checked = true;
        }
        if (!checked)
            QSKIP("neither python3-gi nor systemd's autostart generator is installed");
    }

    void bytesThatAreNotUtf8PassUnchanged()
    {
        for (const QByteArray& bytes : {QByteArray("jos\xe9"), QByteArray("\xed\xa0\x80 \xc3\xa9"),
                                        QByteArray("\xf0\x9f\x8e \xff\x80"), QByteArray()})
            QCOMPARE(encodeNativeName(decodeNativeName(bytes)).toHex(), bytes.toHex());
        qputenv("TARVESSA_ODD", "caf\xe9");
        const QString inherited = nativeSystemEnvironment().value(u"TARVESSA_ODD"_s);
        qunsetenv("TARVESSA_ODD");
        QCOMPARE(encodeNativeName(inherited), "caf\xe9");

        TestAccount account;
        const QByteArray home = QFile::encodeName(account.root()) + "/jos\xe9";
        QVERIFY(::mkdir(home.constData(), 0700) == 0);
        for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
            account.environment.remove(QString::fromLatin1(name));
        account.environment.insert(u"HOME"_s, decodeNativeName(home));
        account.environment.insert(u"ODD"_s, decodeNativeName("\xff\xfe caf\xe9 \xe2\x82"));
        account.environment.insert(u"RECORD_DIR"_s, account.root());
        account.installRuntime(u"env > \"$RECORD_DIR/env\""_s);
        auto controller = account.makeController();
        controller->buildStatusMenu();
        controller->startServer(false);
        QTRY_VERIFY_WITH_TIMEOUT(!controller->serverProcess, 10000);
        QCOMPARE(controller->serverState, ServerState::stopped());
        struct stat info;
        QVERIFY(::stat(home + "/.local/share/Tarvessa Audio Server", &info) == 0);
        QVERIFY(::stat(home + "/.local/state/Tarvessa Audio Server/server.log", &info) == 0);
        // No second, empty tree where the name's bytes were replaced.
        QVERIFY(::stat(QFile::encodeName(account.root()) + "/jos\xef\xbf\xbd", &info) != 0);
        QFile env(account.path(u"env"_s));
        QVERIFY(env.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = env.readAll().split('\n');
        QVERIFY(lines.contains("ODD=\xff\xfe caf\xe9 \xe2\x82"));
        QVERIFY(lines.contains("HOME=" + home));
        // QTemporaryDir cannot name what is not UTF-8 to remove it.
        QProcess::execute(u"/bin/rm"_s, {u"-rf"_s, u"--"_s, account.root()});
    }

    void pickerAlwaysAnswers_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("errStart");
        QTest::newRow("no display")
            << u"QT_QPA_PLATFORM=xcb DISPLAY= WAYLAND_DISPLAY= exec \"$0\""_s << ClosedUnexpectedly
            << QByteArray();
        QTest::newRow("output full") << u"exec \"$1\" cancel > /dev/full"_s << QByteArray()
                                     << QByteArray("Unable to write folder picker result: ");
    }
    void pickerAlwaysAnswers()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, errStart);
        QProcess picker;
        picker.start(u"/bin/sh"_s, {u"-c"_s, command, QStringLiteral(FOLDER_PICKER_TOOL),
                                    QStringLiteral(FOLDER_PICKER_DRIVEN)});
        QVERIFY(picker.waitForFinished(20000));
        QCOMPARE(picker.exitStatus(), QProcess::NormalExit);
        QCOMPARE(picker.exitCode(), 1);
        QCOMPARE(picker.readAllStandardOutput(), out);
        const QByteArray err = picker.readAllStandardError();
        QVERIFY2(errStart.isEmpty() ? err.isEmpty()
                                    : err.startsWith(errStart) && err.endsWith('\n'),
                 err.constData());
    }

    void pickerLosesItsDisplay()
    {
        if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty() ||
            QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
            QSKIP("Xvfb or xdotool is not installed");
        QProcess xvfb;
        xvfb.start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s});
        const QString display = u':' + QString::fromLatin1(firstLine(xvfb));
        QVERIFY(display.size() > 1);
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, home.path());
        env.insert(u"XDG_CONFIG_HOME"_s, home.path());
        env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        env.insert(u"DISPLAY"_s, display);
        QProcess picker;
        picker.setProcessEnvironment(env);
        picker.start(QStringLiteral(FOLDER_PICKER_TOOL));
        QProcess search;
        search.setProcessEnvironment(env);
        search.start(u"xdotool"_s,
                     {u"search"_s, u"--sync"_s, u"--name"_s, u"Choose Music Folder"_s});
        QVERIFY(search.waitForFinished(20000) && search.exitCode() == 0);
        xvfb.kill();
        QVERIFY(picker.waitForFinished(20000));
        QCOMPARE(picker.exitStatus(), QProcess::NormalExit);
        QCOMPARE(picker.exitCode(), 1);
        QCOMPARE(picker.readAllStandardOutput(), ClosedUnexpectedly);
        xvfb.waitForFinished();
    }
};

QTEST_MAIN(HostileTest)
#include "tst_hostile.moc"
