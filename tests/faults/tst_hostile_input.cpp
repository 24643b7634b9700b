// What the application and its folder picker meet from outside, each case in a fresh account:
// floods, partial and idle connections on the instance socket, something that is no file where
// the log goes, names whose bytes are not UTF-8,
// markup in an alert's text, another user's server on our port; a picker without a display or an
// output, or given a name it cannot write; and the real executable's command line beside no
// instance, a hung one and a running one.
#include "base/native_names.h"
#include "desktop/desktop_services.h"
#include "folder-picker/folder_dialog.h"
#include "folder-picker/result_encoder.h"
#include "lifecycle.h"
#include "probe/mode_request.h"
#include "probe/socket_owner.h"
#include "server/locations.h"
#include "session/single_instance.h"

#include <QSignalSpy>
#include <QtNetwork>
#include <QtWidgets>

#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// Who holds the instance lock when the command line runs.
enum class Holder
{
    None,
    Hung,
    Running,
    Crashed // killed, its lock and socket left behind
};

// Whether the probe may ask the kernel's socket diagnostics or finds them refused (a sandbox
// without netlink) or silent (a kernel without them for TCP, asked of no socket it knows), and
// reads the kernel's socket tables instead.
enum class SockDiag
{
    asked,
    refused,
    silent
};

// What --help prints after its usage line.
constexpr char HelpText[] = R"(
Runs your own music server and shows its state in the tray.

Options:
  -h, --help     Print this help and exit.
  -v, --version  Print the name and version and exit.
  --autostart    Started at login: open no browser, wait for the tray.
  --quit         Quit the running instance and its server.
  --status       Print the server's status and address; exit 0 running, 1
                 failed, 3 stopped or starting, 4 not running.
  --start        Start the server, or the application without opening the
                 browser.
  --stop         Stop the server.
  --restart      Restart the server.
  --open         Open the web interface, starting the server or the application
                 if needed.
)";

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
            deadline(10000));
        QVERIFY(reopened.isEmpty());
        sockets.clear();
        // A proper request, sent again until the instance has seen the others go.
        QTRY_VERIFY_WITH_TIMEOUT((send("reopen\n"), !reopened.isEmpty()), deadline(10000));
        sockets.clear();
        QTRY_COMPARE_WITH_TIMEOUT(QDir(u"/proc/self/fd"_s).count(), descriptors, deadline(5000));
    }

    // Another user's client gets no answer even where it can reach the socket (its folder is
    // private, opened here for the test): the instance takes nothing from it.
    void instanceServesItsUserOnly()
    {
        if (::geteuid() != 0)
            QSKIP("Needs root, to run a client as another user");
        QTemporaryDir open;
        SingleInstance instance(open.path());
        QCOMPARE(instance.claim(), SingleInstance::Outcome::Primary);
        const QString socket = open.filePath(u"io.tarvessa.tarvessa-audio-server.socket"_s);
        QVERIFY(::chmod(QFile::encodeName(open.path()).constData(), 0711) == 0 &&
                ::chmod(QFile::encodeName(socket).constData(), 0777) == 0);
        QSignalSpy reopened(&instance, &SingleInstance::reopenRequested);
        // What the client heard: b'' for a connection closed without an answer.
        const QString client = u"import socket, sys\ns = socket.socket(socket.AF_UNIX)\n"
                               "s.connect(sys.argv[1]); s.sendall(b'reopen\\n')\n"
                               "try: print(s.recv(16))\nexcept OSError: print(b'')\n"_s;
        for (const QString& user : {u"65534"_s, u"0"_s}) {
            QProcess ask;
            ask.start(u"/usr/bin/setpriv"_s,
                      {u"--reuid="_s + user, u"--regid="_s + user, u"--clear-groups"_s,
                       u"/usr/bin/python3"_s, u"-c"_s, client, socket});
            QTRY_VERIFY_WITH_TIMEOUT(ask.state() == QProcess::NotRunning, deadline(20000));
            const bool same = user == u"0"_s;
            QCOMPARE(ask.readAllStandardOutput().trimmed(), same ? "b'ok\\n'"_ba : "b''"_ba);
            QCOMPARE(reopened.size(), same ? 1 : 0);
        }
    }

    // A bundle without its runtime or entry script, or whose runtime cannot run, something that
    // is no file where the log goes, a file where a data folder goes, or an old data folder that
    // cannot move to its new place: the start fails at once and says why, nothing there is lost,
    // a FIFO does not hang the open, and a broken bundle leaves no trace in the account.
    void somethingInTheWay_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message"); // %1: the log, the data folder or the runtime
        const QString prepare = u"Tarvessa Audio Server could not prepare its data folders: "_s;
        const QString log = prepare + u"The server log %1 is not a regular file"_s;
        const QString runtime = u"The bundled Node.js runtime is missing or not executable."_s;
        QTest::newRow("a file, not a folder")
            << u"artwork-cache"_s << prepare + u"Cannot create the folder %1: File exists"_s;
        QTest::newRow("a broken link where the old data folder moves") // %2: the old one
            << u"legacy"_s << prepare + u"Cannot move %2 to %1: Not a directory"_s;
        QTest::newRow("a folder") << u"folder"_s << log;
        QTest::newRow("a FIFO") << u"fifo"_s << log;
        QTest::newRow("a device") << u"device"_s << log;
        QTest::newRow("no runtime") << u"runtime/bin/node"_s << runtime;
        QTest::newRow("a runtime not executable") << u"runtime 0644"_s << runtime;
        QTest::newRow("a runtime whose interpreter is missing")
            << u"no interpreter"_s
            << u"Tarvessa Audio Server could not start: cannot run %1: No such file or directory"_s;
        QTest::newRow("no entry script")
            << u"app/build/server/index.js"_s << u"The bundled Tarvessa Audio server is missing."_s;
    }
    void somethingInTheWay()
    {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        Lifecycle life;
        life.account.installRuntime(u"exit 0"_s);
        const RuntimeLocations where(life.account.folders());
        const QString data = where.dataFolder() + u'/' + kind;
        const QString legacy = where.legacyMoves()[0].from;
        const QString resources = life.account.bundle() + u"/Resources/"_s;
        const QString log = kind == u"artwork-cache"_s ? data
                            : kind == u"legacy"_s      ? where.dataFolder()
                            : kind == u"no interpreter"_s
                                ? resources + u"runtime/bin/node"_s
                                : life.controller->serverLogURL().toLocalFile();
        const bool bundle = kind.contains(u'/') || kind.startsWith(u"runtime"_s);
        QVERIFY(bundle || QDir().mkpath(QFileInfo(log).path()));
        QVERIFY(kind == u"artwork-cache"_s ? writeFile(data, "kept")
                : kind == u"legacy"_s
                    ? writeFile(legacy + u"/kept"_s, "kept") && QFile::link(u"/none"_s, log)
                : kind == u"fifo"   ? ::mkfifo(QFile::encodeName(log).constData(), 0600) == 0
                : kind == u"folder" ? writeFile(log + u"/kept"_s, "kept")
                : kind == u"device" ? QFile::link(u"/dev/null"_s, log)
                : kind == u"no interpreter" ? writeFile(log, "#!/no/such/interpreter\n")
                : kind.contains(u'/')
                    ? QFile::remove(resources + kind)
                    : QFile(resources + u"runtime/bin/node"_s).setPermissions(QFile::ReadOwner));
        life.controller->startServer(false);
        QCOMPARE(life.controller->serverState.message(),
                 QString(message).replace(u"%1"_s, log).replace(u"%2"_s, legacy));
        QVERIFY(!life.controller->serverProcess && !life.controller->logHandle);
        QCOMPARE(life.account.alerts.shown.size(), 1);
        QVERIFY(kind != u"folder"_s || readAll(log + u"/kept"_s) == "kept");
        QVERIFY(kind != u"artwork-cache"_s || readAll(data) == "kept");
        QVERIFY(kind != u"legacy"_s || readAll(legacy + u"/kept"_s) == "kept");
        QVERIFY(!bundle || QDir(life.account.home()).isEmpty());
    }

    // Names are bytes: a home whose name holds a Latin-1 byte, a lone surrogate and a cut-off
    // sequence, a bundle under a folder named with a character outside the basic plane and a
    // Latin-1 byte, and variables so named and valued are read, used and passed to the server
    // unchanged.
    void namesThatAreNotUtf8PassUnchanged()
    {
        const QByteArray odd = "/jos\xe9 \xed\xa0\x80 \xff\xfe \xe2\x82";
        QByteArrayList variables{"TARVESSA_ODD=" + odd, "N\xe9M=v\xff", "EMOJI=\xf0\x9f\x92\xa9x"};
        for (QByteArray& variable : variables) // kept while set, as putenv needs
            ::putenv(variable.data());
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
        QTRY_VERIFY_WITH_TIMEOUT(!controller.serverProcess, deadline(10000));
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
            QTRY_VERIFY_WITH_TIMEOUT((probe && !relistens) || server.canReadLine(),
                                     deadline(10000));
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
            QTRY_VERIFY_WITH_TIMEOUT(compatible, deadline(10000));
            QCOMPARE(*compatible, owner == ::geteuid());
        }
    }

    // An alert as the user meets it: the title in bold, the message exactly as it stands (a
    // path is the user's text, never markup), wide enough to read as a sentence, above other
    // windows, the first button the default and Escape the last.
    void alertAsShown()
    {
        const QString text = u"Cannot create the folder /m/My  Music <b>x</b> &amp;\n  indented"_s;
        QTest::failOnWarning(QRegularExpression(u"Layout"_s)); // its layout taken as it is given
        QString seen;
        QTimer look;
        connect(&look, &QTimer::timeout, this, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                auto* title = box->findChild<QLabel*>(u"qt_msgbox_label"_s);
                auto* label = box->findChild<QLabel*>(u"qt_msgbox_informativelabel"_s);
                seen =
                    QStringList{title->textFormat() == Qt::RichText ? title->text() : u"plain"_s,
                                label->textFormat() == Qt::PlainText ? label->text() : u"markup"_s,
                                box->defaultButton() ? box->defaultButton()->text() : QString(),
                                box->width() >= 400 ? u"wide"_s : u"narrow"_s,
                                box->windowFlags() & Qt::WindowStaysOnTopHint ? u"on top"_s
                                                                              : u"below"_s}
                        .join(u'|');
                QTest::keyClick(box, Qt::Key_Escape);
            }
        });
        look.start(20);
        const int answer = MessageBoxAlerts().run(
            {AlertRequest::Style::Warning, u"A <b> & B"_s, text, {u"Retry"_s, u"Not Now"_s}});
        QCOMPARE(seen, u"<b>A &lt;b&gt; &amp; B</b>|"_s + text + u"|Retry|wide|on top"_s);
        QCOMPARE(answer, 1);
    }

    // The shipped picker, untouched, always answers with one line, or says on standard error
    // why it cannot. keys: what xdotool types on an Xvfb display once the dialog has the focus,
    // or "lose" to end the display then; with "full" alone the picker runs with no display and
    // its output going to /dev/full ("full KEYS": on a display), with "closed" on a display with
    // its output closed, with "gone" into a pipe nobody reads, with "quiet KEYS" on a display
    // with its input and standard error closed. It opens in
    // the music folder the home's user-dirs.dirs names, else in the home ("%1" in the line).
    void pickerAlwaysAnswers_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("music"); // in user-dirs.dirs; made unless named "Gone"
        QTest::addColumn<QByteArray>("said");
        QTest::addColumn<int>("exitCode");
        const QByteArray closed =
            "{\"status\":\"error\",\"message\":\"The folder picker closed unexpectedly.\"}\n";
        const QString dir = QDir(m_dir.path()).canonicalPath();
        // Qt does not list a name that is not UTF-8; a link to it is how it gets chosen.
        std::filesystem::create_directory(m_notUtf8.toStdString());
        std::filesystem::create_directory_symlink(
            m_notUtf8.toStdString(), QFile::encodeName(dir + u"/bjork"_s).toStdString());
        const auto row = [](const char* tag, const QString& keys, const QByteArray& said,
                            int exitCode, const QString& music = {}) {
            QTest::newRow(tag) << keys << music << said << exitCode;
        };
        const QByteArray noOutput = "Unable to write folder picker result: ";
        const QByteArray chosen = "{\"status\":\"selected\",\"path\":\"%1\"}\n";
        row("output full", u"full"_s, noOutput + "No space left on device\n", 1);
        row("output closed", u"closed"_s, noOutput + "Bad file descriptor\n", 1);
        row("its reader gone", u"gone"_s, noOutput + "Broken pipe\n", 1);
        row("cancelled into a full output", u"full key Escape"_s,
            noOutput + "No space left on device\n", 1);
        row("display lost", u"lose"_s, closed, 1);
        row("Escape cancels", u"key Escape"_s, "{\"status\":\"cancelled\"}\n", 2);
        row("Escape cancels, the other streams closed", u"quiet key Escape"_s,
            "{\"status\":\"cancelled\"}\n", 2);
        row("a typed link to a name not UTF-8",
            u"type --delay 20 --args 1 %1/bjork key Return"_s.arg(dir),
            "Unable to encode folder picker result.\n", 1);
        row("at once, the music folder", u"key Return"_s,
            QByteArray(chosen).replace("%1", "%1\\/Songs"), 0, u"Songs"_s);
        row("at once, the home without one", u"key Return"_s, chosen, 0, u"Gone"_s);
    }
    void pickerAlwaysAnswers()
    {
        QFETCH(QString, keys);
        QFETCH(QString, music);
        QFETCH(QByteArray, said);
        QFETCH(int, exitCode);
        const bool full = keys.startsWith(u"full"_s), gone = keys == u"gone"_s,
                   display = keys != u"full"_s && !gone, shown = display && keys != u"closed"_s;
        if (display && !QFileInfo::exists(u"/usr/bin/xdotool"_s))
            QSKIP("Needs Xvfb and xdotool (Debian packages xvfb and xdotool)");
        QTemporaryDir home;    // also where Qt's dialog remembers the last folder
        QProcess xvfb, picker; // each killed as it goes, should a check fail
        // -displayfd picks a free display and reports its number once clients can connect.
        if (display)
            xvfb.start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s});
        QTRY_VERIFY_WITH_TIMEOUT(!display || xvfb.canReadLine(), deadline(10000));
        QVERIFY(music.isEmpty() || writeFile(home.filePath(u"user-dirs.dirs"_s),
                                             "XDG_MUSIC_DIR=\"$HOME/" + music.toUtf8() + "\"\n"));
        QVERIFY(music != u"Songs"_s || QDir(home.path()).mkdir(music));
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, home.path());
        env.insert(u"XDG_CONFIG_HOME"_s, home.path());
        env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        env.insert(u"DISPLAY"_s,
                   display ? u':' + QString::fromLatin1(xvfb.readLine().trimmed()) : QString());
        picker.setProcessEnvironment(env);
        if (full)
            picker.setStandardOutputFile(u"/dev/full"_s);
        const bool quiet = keys.startsWith(u"quiet"_s);
        if (keys == u"closed"_s || quiet)
            picker.start(u"/bin/sh"_s,
                         {u"-c"_s, quiet ? u"exec \"$0\" <&- 2>&-"_s : u"exec \"$0\" >&-"_s,
                          QStringLiteral(FOLDER_PICKER_TOOL)});
        else if (gone) // a pipe whose reader has closed, and a broken pipe's default action
            picker.start(u"/usr/bin/python3"_s,
                         {u"-c"_s,
                          u"import os, signal, sys\nsignal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
                          "r, w = os.pipe(); os.close(r); os.dup2(w, 1)\n"
                          "os.execv(sys.argv[1], sys.argv[1:])"_s,
                          QStringLiteral(FOLDER_PICKER_TOOL)});
        else
            picker.start(QStringLiteral(FOLDER_PICKER_TOOL));
        const auto xdotool = [&](const QString& arguments) {
            QProcess run;
            run.setProcessEnvironment(env);
            run.start(u"xdotool"_s, arguments.split(u' '));
            return run.waitForFinished(deadline(20000)) && run.exitCode() == 0;
        };
        // Once the dialog is mapped and has the focus (tried again should the window it found
        // be gone), the keys go to it.
        const QString focus =
            u"search --sync --onlyvisible --name ^Choose.Music.Folder$ windowfocus --sync"_s;
        QTRY_VERIFY_WITH_TIMEOUT(!shown || xdotool(focus), deadline(20000));
        if (keys == u"lose"_s)
            xvfb.kill();
        // A standard stream closed is /dev/null by the time the dialog is up, so that nothing
        // the picker opens takes its place.
        for (const int fd : {0, 2})
            QVERIFY(
                !quiet ||
                QFileInfo(u"/proc/%1/fd/%2"_s.arg(picker.processId()).arg(fd)).symLinkTarget() ==
                    u"/dev/null"_s);
        QVERIFY(!shown || keys == u"lose"_s ||
                xdotool(full    ? keys.mid(5)
                        : quiet ? keys.mid(6)
                                : keys));
        QVERIFY(picker.waitForFinished(deadline(20000)));
        // A result line goes to standard output, a message why there is none to standard error.
        const QByteArray out = picker.readAllStandardOutput(), err = picker.readAllStandardError();
        const QByteArray escapedHome = QFile::encodeName(home.path()).replace("/", "\\/");
        QCOMPARE(said.startsWith('{') ? out + err : err + out,
                 QByteArray(said).replace("%1", escapedHome));
        QCOMPARE(picker.exitCode(), exitCode);
    }

    // The message takes a new first row across the whole grid; every part of Qt's dialog keeps
    // its place and span, one row lower. Its button for a new folder is hidden: nothing is made
    // or changed from the picker.
    void pickerDialogKeepsItsParts()
    {
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        const auto cells = [&dialog] {
            auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
            QList<std::array<int, 4>> found;
            QList<QLayoutItem*> items;
            for (int i = 0; grid && i < grid->count(); ++i) {
                std::array<int, 4> cell{};
                grid->getItemPosition(i, &cell[0], &cell[1], &cell[2], &cell[3]);
                found << cell;
                items << grid->itemAt(i);
            }
            return std::pair{found, items};
        };
        auto [before, items] = cells();
        configureFolderDialog(dialog);
        const auto [after, itemsAfter] = cells();
        auto* label = dialog.findChild<QLabel*>(u"messageLabel"_s);
        QVERIFY(label && label->wordWrap() && !before.isEmpty());
        const int columns = qobject_cast<QGridLayout*>(dialog.layout())->columnCount();
        for (auto& cell : before)
            ++cell[0];
        before << std::array{0, 0, 1, columns};
        items << dialog.layout()->itemAt(dialog.layout()->indexOf(label));
        QCOMPARE(after, before);
        QCOMPARE(itemsAfter, items);
        auto* newFolder = dialog.findChild<QToolButton*>(u"newFolderButton"_s);
        QVERIFY(newFolder && newFolder->isHidden());
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

    // The real executable from a bundle of its own, beside no instance, a hung one or a running
    // one. Each run answers on one stream, the other left empty, and needs no display (X11 asked
    // for, none there). A hung holder is this test's own instance: this thread waits for the
    // launch and cannot answer it. A running one was launched with unknown options, which it
    // named as given before going on; its server never answers, so it stays "starting". Where the
    // run becomes the instance itself (--open and --start with none running) its server starts, and
    // --quit ends it. --quit has ended the instance and its server when it returns. A crashed
    // one left its lock and socket behind, which block neither --quit nor the next instance.
    void commandLine()
    {
        using enum Holder;
        const struct
        {
            const char* name;
            QString arguments;
            Holder holder;
            int exitCode;    // -1: the run is the instance until --quit
            QByteArray said; // found in what it says; a leading "\n" anchors it at a line's start
            bool toError = false; // said on standard error rather than standard output
            QByteArray info = {}; // Info.json's text; by default a free port
        } rows[] = {
            {"help", u"--help"_s, None, 0, HelpText},
            {"version", u"--version"_s, None, 0, "Tarvessa Audio Server " TARVESSA_VERSION "\n"},
            {"quit, none running", u"--quit"_s, None, 1, "--quit: it is not running\n", true},
            {"status, none running", u"--status"_s, None, 4, "--status: it is not running\n", true},
            {"stop, none running", u"--stop"_s, None, 4,
             "\nTarvessa Audio Server: --stop: it is not running\n", true},
            {"restart, none running", u"--restart"_s, None, 4, "it is not running\n", true},
            {"start, none running: launches", u"--start -platform offscreen"_s, None, -1, {}},
            {"open, none running: launches", u"--open -platform offscreen"_s, None, -1, {}},
            {"a broken Info.json: said, then the default port", u"--start -platform offscreen"_s,
             None, -1,
             "Tarvessa Audio Server: Info.json does not hold a JSON object; using port "
             "2104.\n",
             true, "[]"},
            {"quit, holder hung", u"--quit"_s, Hung, 1, "does not answer", true},
            {"status, holder hung", u"--status"_s, Hung, 1, "--status: the running instance", true},
            {"launch, holder hung", u"-platform offscreen"_s, Hung, 1, "not starting a", true},
            {"quit, one running", u"--quit"_s, Running, 0, {}},
            {"quit, one crashed", u"--quit"_s, Crashed, 1, "--quit: it is not running\n", true},
            {"status, one running", u"--status"_s, Running, 3, "starting\u2026\nhttp://127.0.0.1:"},
            {"start, one running", u"--start"_s, Running, 0, {}},
            {"restart, one running", u"--restart"_s, Running, 0, {}},
            {"open, one running", u"--open"_s, Running, 0, {}},
            {"stop, one running", u"--stop"_s, Running, 0, {}},
        };
        for (const auto& [name, arguments, holder, exitCode, said, toError, info] : rows) {
            commandLineRow(name, arguments, holder, exitCode, said, toError, info);
            if (QTest::currentTestFailed())
                return;
        }
    }

private:
    void commandLineRow(const char* name, const QString& arguments, Holder holder, int exitCode,
                        const QByteArray& said, bool toError, const QByteArray& info)
    {
        qInfo("%s", name); // the row a failure belongs to
        TestAccount account;
        // Its bundle is the folder above its own.
        const QString executable = account.bundle() + u"/Resources/TarvessaAudioServer"_s;
        const QString pidFile = account.path(u"server.pid"_s);
        QVERIFY(QFile::copy(QStringLiteral(TARVESSA_EXECUTABLE), executable));
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, freePort()}});
        QVERIFY(info.isEmpty() || writeFile(account.bundle() + u"/Info.json"_s, info));
        // A server that never answers: the instance stays "starting" until it is asked to quit.
        account.installRuntime(u"echo $$ >'%1'; exec sleep 600"_s.arg(pidFile));
        account.environment.insert(u"XDG_RUNTIME_DIR"_s, account.path(u"tmp"_s));
        QVERIFY(
            QFile::setPermissions(account.path(u"tmp"_s), QFile::ReadOwner | QFile::WriteOwner |
                                                              QFile::ExeOwner)); // as a session's
        account.environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"disabled:"_s);
        // No display (X11 asked for, none there): only a launch told to run offscreen gets far.
        account.environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        SingleInstance hung(account.path(u"tmp"_s));
        QVERIFY(holder != Holder::Hung || hung.claim() == SingleInstance::Outcome::Primary);
        const bool started = holder == Holder::Running || holder == Holder::Crashed,
                   running = holder == Holder::Running, launches = exitCode < 0;
        const auto start = [&](QProcess& it, const QString& options) {
            it.setProcessEnvironment(account.environment);
            it.start(executable, options.split(u' ', Qt::SkipEmptyParts));
        };
        const auto run = [&](QProcess& it, const QString& options) {
            return start(it, options), it.waitForFinished(deadline(30000));
        };
        // Each is killed as it goes, should a check fail; the server then ends with its instance.
        QProcess first, process, quit;
        if (started)
            start(first, u"--bogus -z -platform offscreen"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!started || QFile(pidFile).size() > 0, deadline(20000));
        if (holder == Holder::Crashed) {
            first.kill();
            // Collected: its process id is free again.
            QVERIFY(first.waitForFinished(deadline(10000)));
        }
        // The one instance: the run itself, or the one running before it; --quit ends it.
        if (launches) {
            start(process, arguments);
            QTRY_VERIFY_WITH_TIMEOUT(QFile(pidFile).size() > 0, deadline(20000));
            QVERIFY(run(quit, u"--quit"_s) && quit.exitCode() == 0);
            QVERIFY(process.waitForFinished(deadline(1000)));
            QCOMPARE(process.exitCode(), 0);
            QCOMPARE(process.readAllStandardError(), said); // a good bundle: nothing to say
        } else {
            QVERIFY(run(process, arguments));
            QCOMPARE(process.exitCode(), exitCode);
            const QByteArray out = process.readAllStandardOutput(),
                             err = process.readAllStandardError();
            QVERIFY2((toError ? out : err).isEmpty() &&
                         ('\n' + (toError ? err : out)).contains(said),
                     out + err);
            QCOMPARE(QFile::exists(pidFile), started);
        }
        const qint64 server = readAll(pidFile).trimmed().toLongLong();
        // A stop ends the server and leaves the instance running.
        QTRY_VERIFY_WITH_TIMEOUT(arguments != u"--stop"_s || liveGroupOf(server) == 0,
                                 deadline(15000));
        QVERIFY(!running || first.state() == QProcess::Running || arguments == u"--quit"_s);
        if (running && !arguments.contains(u"--quit"_s))
            QVERIFY(run(quit, u"--quit"_s) && quit.exitCode() == 0);
        // "Gone" means gone: the first instance has already ended, its server with it.
        QVERIFY(!running || (first.waitForFinished(deadline(1000)) && first.exitCode() == 0));
        const QByteArray firstSaid = first.readAllStandardError();
        QVERIFY2(!running || (firstSaid.contains(": unknown option -z, ignored") &&
                              firstSaid.contains(": unknown option --bogus, ignored (--help lists "
                                                 "the options)\n")),
                 firstSaid);
        QTRY_COMPARE_WITH_TIMEOUT(liveGroupOf(server), 0, deadline(5000));
        QVERIFY(holder != Holder::Crashed ||
                SingleInstance(account.path(u"tmp"_s)).claim() == SingleInstance::Outcome::Primary);
    }
};

QTEST_MAIN(HostileInputTest)
#include "tst_hostile_input.moc"
