// What the application and its folder picker meet from outside, each case in a fresh account:
// floods, partial and idle connections on the instance socket, something that is no file where
// the log goes, names whose bytes are not UTF-8,
// markup in an alert's text; a picker without a display or an output, or given a name it cannot
// write; and the real executable's command line beside no instance, a hung one and a running one.
#include "lifecycle.h"
#include "platform/desktop_services.h"
#include "platform/native_names.h"
#include "platform/single_instance.h"
#include "result_encoder.h"

#include <QSignalSpy>
#include <QtNetwork>
#include <QtWidgets>

#include <filesystem>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

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

    // A bundle without its runtime or entry script, or something that is no file where the log
    // goes: the start fails at once and says why, nothing there is lost, a FIFO does not hang
    // the open, and a broken bundle leaves no trace in the account.
    void somethingInTheWay_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message"); // %1: the log
        const QString log = u"Tarvessa Audio Server could not prepare its data folders: The server "
                            "log %1 is not a regular file"_s;
        const QString runtime = u"The bundled Node.js runtime is missing or not executable."_s;
        QTest::newRow("a folder") << u"folder"_s << log;
        QTest::newRow("a FIFO") << u"fifo"_s << log;
        QTest::newRow("a device") << u"device"_s << log;
        QTest::newRow("no runtime") << u"runtime/bin/node"_s << runtime;
        QTest::newRow("a runtime not executable") << u"runtime 0644"_s << runtime;
        QTest::newRow("no entry script")
            << u"app/build/server/index.js"_s << u"The bundled Tarvessa Audio server is missing."_s;
    }
    void somethingInTheWay()
    {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        Lifecycle life;
        life.account.installRuntime(u"exit 0"_s);
        const QString log = life.controller->serverLogURL().toLocalFile();
        const QString resources = life.account.bundle() + u"/Resources/"_s;
        const bool bundle = kind.contains(u'/') || kind.startsWith(u"runtime"_s);
        QVERIFY(bundle || QDir().mkpath(QFileInfo(log).path()));
        QVERIFY(kind == u"fifo"     ? ::mkfifo(QFile::encodeName(log).constData(), 0600) == 0
                : kind == u"folder" ? writeFile(log + u"/kept"_s, "kept")
                : kind == u"device" ? QFile::link(u"/dev/null"_s, log)
                : kind.contains(u'/')
                    ? QFile::remove(resources + kind)
                    : QFile(resources + u"runtime/bin/node"_s).setPermissions(QFile::ReadOwner));
        life.controller->startServer(false);
        QCOMPARE(life.controller->serverState.message(), QString(message).replace(u"%1"_s, log));
        QVERIFY(!life.controller->serverProcess && !life.controller->logHandle);
        QCOMPARE(life.account.alerts.shown.size(), 1);
        QVERIFY(kind != u"folder"_s || readAll(log + u"/kept"_s) == "kept");
        QVERIFY(!bundle || QDir(life.account.home()).isEmpty());
    }

    // Names are bytes: a home whose name holds a Latin-1 byte, a lone surrogate and a cut-off
    // sequence is read from the environment, used and passed to the server unchanged.
    void namesThatAreNotUtf8PassUnchanged()
    {
        const QByteArray odd = "/jos\xe9 \xed\xa0\x80 \xff\xfe \xe2\x82";
        qputenv("TARVESSA_ODD", odd);
        QCOMPARE(encodeNativeName(nativeSystemEnvironment().value(u"TARVESSA_ODD"_s)), odd);
        qunsetenv("TARVESSA_ODD");
        TestAccount account;
        const QByteArray dir = QFile::encodeName(m_dir.filePath(u"odd"_s)), home = dir + odd;
        std::filesystem::create_directories(home.toStdString());
        account.environment.clear(); // nothing but the odd home
        account.environment.insert(u"HOME"_s, decodeNativeName(home));
        account.installRuntime(u"env > \"$0.env\""_s);
        auto controller = account.makeController();
        controller->startServer(false);
        QTRY_VERIFY_WITH_TIMEOUT(!controller->serverProcess, deadline(10000));
        // The odd home alone: no second tree where its bytes were replaced.
        QCOMPARE(std::distance(std::filesystem::directory_iterator(dir.toStdString()), {}), 1);
        QVERIFY(readAll(account.bundle() + u"/Resources/runtime/bin/node.env"_s)
                    .contains("HOME=" + home + '\n'));
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
        QTRY_VERIFY_WITH_TIMEOUT(!display || xvfb.canReadLine(), deadline(10000));
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
            return run.waitForFinished(deadline(20000)) && run.exitCode() == 0;
        };
        // Once the dialog is mapped and has the focus (tried again should the window it found
        // be gone), the keys go to it.
        const QString focus =
            u"search --sync --onlyvisible --name ^Choose.Music.Folder$ windowfocus --sync"_s;
        QTRY_VERIFY_WITH_TIMEOUT(!display || xdotool(focus), deadline(20000));
        if (keys == u"lose"_s)
            xvfb.kill();
        QVERIFY(!display || keys == u"lose"_s || xdotool(keys));
        QVERIFY(picker.waitForFinished(deadline(20000)));
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
    // before going on; --quit has ended it and its server when it returns. A crashed one left its
    // lock and socket behind, which block neither --quit nor the next instance.
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
        QTest::newRow("quit, one crashed")
            << u"--quit"_s << u"crashed"_s << 1 << "it is not running\n"_ba;
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
        const bool running = holder == u"running"_s || holder == u"crashed"_s;
        // Each is killed as it goes, should a check fail; the server then ends with its instance.
        QProcess first, process;
        first.setProcessEnvironment(account.environment);
        if (running)
            first.start(executable, {u"--bogus"_s, u"-platform"_s, u"offscreen"_s});
        QTRY_VERIFY_WITH_TIMEOUT(!running || QFile(pidFile).size() > 0, deadline(20000));
        if (holder == u"crashed"_s) {
            first.kill();
            // Collected: its process id is free again.
            QVERIFY(first.waitForFinished(deadline(10000)));
        }
        const qint64 server = readAll(pidFile).trimmed().toLongLong();
        process.setProcessEnvironment(account.environment);
        process.start(executable, arguments.split(u' ', Qt::SkipEmptyParts));
        QVERIFY(process.waitForFinished(deadline(30000)));
        QCOMPARE(process.exitCode(), exitCode);
        const QByteArray out = process.readAllStandardOutput(),
                         err = process.readAllStandardError();
        QVERIFY2((exitCode ? out : err).isEmpty() && (exitCode ? err : out).contains(said),
                 out + err);
        QCOMPARE(QFile::exists(pidFile), running);
        // "Gone" means gone: the first instance has already ended, its server with it.
        QVERIFY(holder != u"running"_s ||
                (first.waitForFinished(deadline(1000)) && first.exitCode() == 0));
        QVERIFY(holder != u"running"_s ||
                first.readAllStandardError().contains(
                    ": unknown option --bogus, ignored (--help lists the options)\n"));
        QTRY_COMPARE_WITH_TIMEOUT(liveGroupOf(server), 0, deadline(5000));
        QVERIFY(holder != u"crashed"_s ||
                SingleInstance(account.path(u"tmp"_s)).claim() == SingleInstance::Outcome::Primary);
    }
};

QTEST_MAIN(HostileInputTest)
#include "tst_hostile_input.moc"
