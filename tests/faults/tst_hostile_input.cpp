// What the application and its folder picker meet from outside, each case in a fresh account:
// floods, partial and idle connections on the instance socket, something that is no file where
// the log goes, names whose bytes are not UTF-8,
// markup in an alert's text, another user's server on our port; a picker without a display or an
// output, or given a name it cannot write; and the real executable's command line beside no
// instance, a hung one and a running one.
#include "lifecycle.h"
#include "platform/desktop_services.h"
#include "platform/native_names.h"
#include "platform/single_instance.h"
#include "readiness/mode_request.h"
#include "readiness/socket_owner.h"
#include "result_encoder.h"

#include <QSignalSpy>
#include <QtNetwork>
#include <QtWidgets>

#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

// Whether the probe may ask the kernel's socket diagnostics or finds them refused (a sandbox
// without netlink) or silent (a kernel without them for TCP, asked of no socket it knows), and
// reads the kernel's socket tables instead.
enum class SockDiag
{
    asked,
    refused,
    silent
};
Q_DECLARE_METATYPE(SockDiag)

class HostileInputTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const QByteArray m_notUtf8 = QFile::encodeName(m_dir.path()) + "/Bj\xf6rk";

private slots:
    // QTemporaryDir cannot name what is not UTF-8 to remove it.
    void cleanupTestCase() { QProcess::execute(u"/bin/rm"_s, {u"-rf"_s, u"--"_s, m_dir.path()}); }

    // Of twelve clients, the instance drops all but `served` by itself, long before their
    // lifetime unless the row's is short, takes none for a request, and then serves a proper
    // one, with no descriptor left behind.
    void instanceSocketLimits_data()
    {
        QTest::addColumn<int>("lifetimeMs");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qsizetype>("served");
        QTest::newRow("floods with no line feed") << 60000 << QByteArray(1 << 20, 'x') << 0LL;
        QTest::newRow("requests never ended") << 200 << "reopen"_ba << 0LL;
        QTest::newRow("more clients than places") << 60000 << QByteArray() << 4LL;
    }
    void instanceSocketLimits()
    {
        QFETCH(int, lifetimeMs);
        QFETCH(QByteArray, bytes);
        QFETCH(qsizetype, served);
        SingleInstance instance(m_dir.path());
        instance.setLimits({16, lifetimeMs, 4, 3000});
        QCOMPARE(instance.claim(), SingleInstance::Outcome::Primary);
        const auto descriptors = QDir(u"/proc/self/fd"_s).count();
        QSignalSpy reopened(&instance, &SingleInstance::reopenRequested);
        std::vector<std::unique_ptr<QLocalSocket>> sockets;
        const auto send = [&](const QByteArray& sent) {
            auto& socket = *sockets.emplace_back(new QLocalSocket);
            socket.connectToServer(m_dir.filePath(u"io.tarvessa.tarvessa-audio-server.socket"_s));
            socket.write(sent);
        };
        while (sockets.size() < 12)
            send(bytes);
        QTRY_COMPARE_WITH_TIMEOUT(
            std::ranges::count(sockets, QLocalSocket::ConnectedState, &QLocalSocket::state), served,
            10000);
        QVERIFY(reopened.isEmpty());
        sockets.clear();
        // A proper request, sent again until the instance has seen the others go.
        QTRY_VERIFY_WITH_TIMEOUT((send("reopen\n"), !reopened.isEmpty()), 10000);
        sockets.clear();
        QTRY_COMPARE_WITH_TIMEOUT(QDir(u"/proc/self/fd"_s).count(), descriptors, 5000);
    }

    // Something that is no file where the log goes: the start fails at once and says why,
    // nothing there is lost, and a FIFO does not hang the open.
    void somethingInTheWay_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a folder") << u"folder"_s;
        QTest::newRow("a FIFO") << u"fifo"_s;
        QTest::newRow("a device") << u"device"_s;
    }
    void somethingInTheWay()
    {
        QFETCH(QString, kind);
        Lifecycle life;
        life.account.installRuntime(u"exit 0"_s);
        const QString log = life.controller->serverLogURL().toLocalFile();
        QVERIFY(QDir().mkpath(QFileInfo(log).path()));
        QVERIFY(kind == u"fifo"     ? ::mkfifo(QFile::encodeName(log).constData(), 0600) == 0
                : kind == u"folder" ? writeFile(log + u"/kept"_s, "kept")
                                    : QFile::link(u"/dev/null"_s, log));
        life.controller->startServer(false);
        QCOMPARE(
            life.controller->serverState.message(),
            u"Tarvessa Audio Server could not prepare its data folders: The server log %1 is not a regular file"_s
                .arg(log));
        QVERIFY(!life.controller->serverProcess && !life.controller->logHandle);
        QCOMPARE(life.account.alerts.shown.size(), 1);
        QVERIFY(kind != u"folder" || readAll(log + u"/kept"_s) == "kept");
    }

    // Names are bytes: a home whose name holds a Latin-1 byte, a lone surrogate and a cut-off
    // sequence, a bundle under a folder named with a character outside the basic plane and a
    // Latin-1 byte, and variables so named and valued are read, used and passed to the server
    // unchanged.
    void namesThatAreNotUtf8PassUnchanged()
    {
        const QByteArray odd = "/jos\xe9 \xed\xa0\x80 \xff\xfe \xe2\x82";
        const QByteArrayList variables{"TARVESSA_ODD=" + odd, "N\xe9M=v\xff",
                                       "EMOJI=\xf0\x9f\x92\xa9x"};
        for (const QByteArray& variable : variables)
            qputenv(variable.first(variable.indexOf('=')),
                    variable.sliced(variable.indexOf('=') + 1));
        const QProcessEnvironment inherited = nativeSystemEnvironment();
        for (const QByteArray& variable : variables)
            qunsetenv(variable.first(variable.indexOf('=')));
        TestAccount account;
        const QByteArray dir = QFile::encodeName(m_dir.filePath(u"odd"_s)), home = dir + odd;
        const QByteArray bundle = QFile::encodeName(m_dir.path()) + "/\xf0\x9f\x93\x81\x61pps \xe9";
        std::filesystem::create_directories(home.toStdString());
        account.environment.clear(); // nothing but the odd home and variables
        account.environment.insert(u"HOME"_s, decodeNativeName(home));
        for (const QString& name : inherited.keys())
            if (variables.contains(encodeEnvironmentName(name) + '=' +
                                   encodeNativeName(inherited.value(name))))
                account.environment.insert(name, inherited.value(name));
        const QString seen = account.path(u"seen"_s);
        // The environment as given, not as a shell would export it: it drops such names.
        account.installRuntime(
            u"{ tr '\\0' '\\n' </proc/$$/environ; echo \"in $(pwd -P) run $1\"; } >'%1'"_s.arg(
                seen));
        const int port = freePort();
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, port}});
        std::filesystem::rename(account.bundle().toStdString(), bundle.toStdString());
        const BaseFolders folders(account.environment, decodeNativeName(bundle), account.root());
        TarvessaAudioServerAppDelegate controller({account.alerts, account.workspace,
                                                   account.clipboard, account.loginItems, folders,
                                                   [] {}});
        controller.startServer(false);
        QTRY_VERIFY_WITH_TIMEOUT(!controller.serverProcess, 10000);
        QVERIFY2(account.alerts.shown.isEmpty(), qPrintable(controller.serverState.message()));
        // The odd home alone: no second tree where its bytes were replaced.
        QCOMPARE(std::distance(std::filesystem::directory_iterator(dir.toStdString()), {}), 1);
        const QByteArray app = bundle + "/Resources/app";
        for (const QByteArray& line :
             variables + QByteArrayList{"HOME=" + home, "PORT=" + QByteArray::number(port),
                                        "in " + app + " run " + app + "/build/server/index.js"})
            QVERIFY2(('\n' + readAll(seen)).contains('\n' + line + '\n'), line.toHex(' '));
    }

    // A compatible answer counts only from a socket of our own user's, whatever address its
    // listener took and whenever it closed it. The server is a child, as this user or as
    // nobody, that answers each connection and closes it; an impostor closes its listener as it
    // accepts and listens again 50 ms after the connection's end. Where the kernel's socket
    // diagnostics are refused, its socket tables judge the same.
    void anotherUsersServerIsNeverOurs_data()
    {
        const uid_t us = 0, nobody = 65534; // the tests run as root
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<uid_t>("owner");
        QTest::addColumn<bool>("relistens");
        QTest::addColumn<SockDiag>("sockDiag");
        const auto row = [](const char* name, const char* address, uid_t owner, bool relistens,
                            SockDiag sockDiag = SockDiag::asked) {
            QTest::newRow(name) << QByteArray(address) << owner << relistens << sockDiag;
        };
        row("ours, on 127.0.0.1", "127.0.0.1", us, false);
        row("ours, dual-stack on ::ffff:0.0.0.0", "::ffff:0.0.0.0", us, false);
        row("ours, listening again after each answer", "127.0.0.1", us, true);
        row("another user's, on 127.0.0.1", "127.0.0.1", nobody, false);
        row("another user's, on 0.0.0.0", "0.0.0.0", nobody, false);
        row("another user's, on ::", "::", nobody, false);
        row("another user's, on ::ffff:0.0.0.0", "::ffff:0.0.0.0", nobody, false);
        row("an impostor away while it answers", "127.0.0.1", nobody, true);
        row("ours, sock_diag refused", "127.0.0.1", us, false, SockDiag::refused);
        row("ours, dual-stack, sock_diag silent", "::ffff:0.0.0.0", us, false, SockDiag::silent);
        row("another user's, sock_diag silent", "127.0.0.1", nobody, false, SockDiag::silent);
        row("another user's on ::, sock_diag refused", "::", nobody, false, SockDiag::refused);
    }
    void anotherUsersServerIsNeverOurs()
    {
        QFETCH(QByteArray, address);
        QFETCH(uid_t, owner);
        QFETCH(bool, relistens);
        QFETCH(SockDiag, sockDiag);
        if (::geteuid() != 0)
            QSKIP("Needs root, to be another user in a child");
        const QString script = uR"(const [address, port, relisten, answer] = process.argv.slice(1);
            const listen = () => { const server = require('net').createServer(c => {
                if (relisten) server.close(), c.on('close', () => setTimeout(listen, 50));
                c.on('error', () => {}).once('data', () => c.end(answer));
            }).listen(+port, address, () => console.log('listening')); };
            listen();)"_s;
        const quint16 port = freePort();
        QProcess server;
        server.setChildProcessModifier([owner] {
            if (::setresgid(owner, owner, owner) || ::setresuid(owner, owner, owner))
                ::_exit(1);
        });
        server.start(u"node"_s, {u"-e"_s, script, QString::fromLatin1(address),
                                 QString::number(port), relistens ? u"1"_s : QString(),
                                 QString::fromLatin1(ModeServer::compatible())});
        Lifecycle life(port, {30ms, 20, 400ms, 10s}); // a loaded machine may answer late
        for (int probe = 0; probe < 4; ++probe) {
            // Listening, or listening again: each probe reaches the server.
            QTRY_VERIFY_WITH_TIMEOUT((probe && !relistens) || server.canReadLine(), 10000);
            server.readLine();
            std::optional<bool> compatible;
            const auto seen = [&](bool answer) { compatible = answer; };
            int (*openDiag)() = [] { return errno = EPROTONOSUPPORT, -1; };
            if (sockDiag == SockDiag::silent) // a socket that sends nowhere: no answer comes
                openDiag = [] { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); };
            if (sockDiag != SockDiag::asked)
                requestMode(port, 10s, life.controller.get(), seen,
                            [openDiag](quint16 server, quint16 client) {
                                return connectionPeerOwner(server, client, openDiag);
                            });
            else
                life.controller->probeServer(seen);
            QTRY_VERIFY_WITH_TIMEOUT(compatible, 10000);
            QCOMPARE(*compatible, owner == ::geteuid());
        }
    }

    // A path in a message is the user's text, never markup.
    void alertTextIsShownAsPlainText()
    {
        const QString text = u"Cannot create the folder /m/My  Music <b>x</b> &amp;\n  indented"_s;
        QString seen;
        QTimer look;
        connect(&look, &QTimer::timeout, this, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                auto* label = box->findChild<QLabel*>(u"qt_msgbox_informativelabel"_s);
                seen = label && label->textFormat() == Qt::PlainText ? label->text() : u"markup"_s;
                box->done(0);
            }
        });
        look.start(20);
        MessageBoxAlerts().run({AlertRequest::Style::Warning, u"T"_s, text, {u"OK"_s}});
        QCOMPARE(seen, text);
    }

    // The shipped picker, untouched, always answers with one line, or says on standard error
    // why it cannot. keys: what xdotool types on an Xvfb display once the dialog has the focus,
    // or "lose" to end the display then; with "full" the picker runs with no display and its
    // output going to /dev/full.
    void pickerAlwaysAnswers_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QByteArray>("said");
        QTest::addColumn<int>("exitCode");
        const QByteArray closed =
            "{\"status\":\"error\",\"message\":\"The folder picker closed unexpectedly.\"}\n";
        const QString dir = QDir(m_dir.path()).canonicalPath();
        // Qt does not list a name that is not UTF-8; a link to it is how it gets chosen.
        std::filesystem::create_directory(m_notUtf8.toStdString());
        std::filesystem::create_directory_symlink(
            m_notUtf8.toStdString(), QFile::encodeName(dir + u"/bjork"_s).toStdString());
        QTest::newRow("output full")
            << u"full"_s << "Unable to write folder picker result: No space left on device\n"_ba
            << 1;
        QTest::newRow("display lost") << u"lose"_s << closed << 1;
        QTest::newRow("Escape cancels")
            << u"key Escape"_s << "{\"status\":\"cancelled\"}\n"_ba << 2;
        QTest::newRow("a typed link to a name not UTF-8")
            << u"type --delay 20 --args 1 %1/bjork key Return"_s.arg(dir)
            << "Unable to encode folder picker result.\n"_ba << 1;
    }
    void pickerAlwaysAnswers()
    {
        QFETCH(QString, keys);
        QFETCH(QByteArray, said);
        QFETCH(int, exitCode);
        const bool display = keys != u"full"_s;
        if (display && !QFileInfo::exists(u"/usr/bin/xdotool"_s))
            QSKIP("Needs Xvfb and xdotool (Debian packages xvfb and xdotool)");
        QTemporaryDir config;  // where Qt's dialog remembers the last folder
        QProcess xvfb, picker; // each killed as it goes, should a check fail
        // -displayfd picks a free display and reports its number once clients can connect.
        if (display)
            xvfb.start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s});
        QTRY_VERIFY_WITH_TIMEOUT(!display || xvfb.canReadLine(), 10000);
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_CONFIG_HOME"_s, config.path());
        env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        env.insert(u"DISPLAY"_s,
                   display ? u':' + QString::fromLatin1(xvfb.readLine().trimmed()) : QString());
        picker.setProcessEnvironment(env);
        if (keys == u"full"_s)
            picker.setStandardOutputFile(u"/dev/full"_s);
        picker.start(QStringLiteral(FOLDER_PICKER_TOOL));
        const auto xdotool = [&](const QString& arguments) {
            QProcess run;
            run.setProcessEnvironment(env);
            run.start(u"xdotool"_s, arguments.split(u' '));
            return run.waitForFinished(20000) && run.exitCode() == 0;
        };
        // Once the dialog is mapped and has the focus (tried again should the window it found
        // be gone), the keys go to it.
        const QString focus =
            u"search --sync --onlyvisible --name ^Choose.Music.Folder$ windowfocus --sync"_s;
        QTRY_VERIFY_WITH_TIMEOUT(!display || xdotool(focus), 20000);
        if (keys == u"lose"_s)
            xvfb.kill();
        QVERIFY(!display || keys == u"lose"_s || xdotool(keys));
        QVERIFY(picker.waitForFinished(20000));
        // A result line goes to standard output, a message why there is none to standard error.
        const QByteArray out = picker.readAllStandardOutput(), err = picker.readAllStandardError();
        QCOMPARE(said.startsWith('{') ? out + err : err + out, said);
        QCOMPARE(picker.exitCode(), exitCode);
    }

    // Any chosen path's bytes, here every three of the bytes JSON escapes and of UTF-8 sequences
    // good and bad: a line that reads back as exactly those bytes, or nothing for bytes that are
    // not UTF-8.
    void pickerResultReadsBackAsThePath()
    {
        const QList<QByteArray> pieces =
            QByteArrayLiteral("/|\"|\\|\b|\f|\n|\r|\t|\0|\x1f|\x7f|a| |\xc3\xa9|\xe2\x82\xac|"
                              "\xf0\x9f\x8e\xb5|\xef\xbb\xbf|\xef\xbf\xbe|\xc0\xaf|\xed\xa0\x80|"
                              "\xf4\x90\x80\x80|\xe2\x82|\x80|\xff")
                .split('|');
        const qsizetype n = pieces.size();
        for (qsizetype i = 0; i < n * n * n; ++i) {
            const QByteArray path = '/' + pieces[i % n] + pieces[i / n % n] + pieces[i / n / n];
            const auto line = encodePickerResult(PickerStatus::Selected, path, std::nullopt);
            QStringDecoder strict(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString text = strict(path); // incomplete at the end is an error too
            const QJsonObject read = QJsonDocument::fromJson(line.value_or("")).object();
            const QJsonObject wanted{{u"status"_s, u"selected"_s}, {u"path"_s, text}};
            QVERIFY2(strict.hasError() ? !line : line && !line->contains('\n') && read == wanted,
                     path.toHex().constData());
        }
    }

    // The real executable from a bundle of its own. Each run answers on one stream, the other
    // left empty, and starts no server; the options need no display (X11 asked for, none
    // there). A hung holder is this test's own instance: this thread waits for the launch and
    // cannot answer it. A running one was launched with an unknown option, which it named
    // before going on; --quit has ended it and its server when it returns.
    void commandLine_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("holder");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("help") << u"--help"_s << QString() << 0 << "\n  --quit "_ba;
        QTest::newRow("version") << u"--version"_s << QString() << 0
                                 << QByteArray("Tarvessa Audio Server " TARVESSA_VERSION "\n");
        QTest::newRow("quit, none running")
            << u"--quit"_s << QString() << 1 << "it is not running\n"_ba;
        QTest::newRow("quit, holder hung") << u"--quit"_s << u"hung"_s << 1 << "does not answer"_ba;
        QTest::newRow("launch, holder hung")
            << u"-platform offscreen"_s << u"hung"_s << 1 << "not starting a second instance"_ba;
        QTest::newRow("quit, one running") << u"--quit"_s << u"running"_s << 0 << QByteArray();
    }
    void commandLine()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, holder);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, said);
        TestAccount account;
        // Its bundle is the folder above its own.
        const QString executable = account.bundle() + u"/Resources/TarvessaAudioServer"_s;
        const QString pidFile = account.path(u"server.pid"_s);
        QVERIFY(QFile::copy(QStringLiteral(TARVESSA_EXECUTABLE), executable));
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, freePort()}});
        // A server that never answers: the instance stays "starting" until it is asked to quit.
        account.installRuntime(u"echo $$ >'%1'; exec sleep 600"_s.arg(pidFile));
        account.environment.insert(u"XDG_RUNTIME_DIR"_s, account.path(u"tmp"_s));
        account.environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"disabled:"_s);
        // No display (X11 asked for, none there): only a launch told to run offscreen gets far.
        account.environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        SingleInstance hung(account.path(u"tmp"_s));
        QVERIFY(holder != u"hung"_s || hung.claim() == SingleInstance::Outcome::Primary);
        const bool running = holder == u"running"_s;
        // Each is killed as it goes, should a check fail; the server then ends with its instance.
        QProcess first, process;
        first.setProcessEnvironment(account.environment);
        if (running)
            first.start(executable, {u"--bogus"_s, u"-platform"_s, u"offscreen"_s});
        QTRY_VERIFY_WITH_TIMEOUT(!running || QFile(pidFile).size() > 0, 20000);
        const qint64 server = readAll(pidFile).trimmed().toLongLong();
        process.setProcessEnvironment(account.environment);
        process.start(executable, arguments.split(u' ', Qt::SkipEmptyParts));
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), exitCode);
        const QByteArray out = process.readAllStandardOutput(),
                         err = process.readAllStandardError();
        QVERIFY2((exitCode ? out : err).isEmpty() && (exitCode ? err : out).contains(said),
                 out + err);
        QCOMPARE(QFile::exists(pidFile), running);
        // "Gone" means gone: the first instance has already ended, its server with it.
        QVERIFY(!running || (first.waitForFinished(1000) && first.exitCode() == 0));
        QVERIFY(!running || first.readAllStandardError().contains(
                                ": unknown option --bogus, ignored (--help lists the options)\n"));
        QTRY_COMPARE_WITH_TIMEOUT(liveGroupOf(server), 0, 5000);
    }
};

QTEST_MAIN(HostileInputTest)
#include "tst_hostile_input.moc"
