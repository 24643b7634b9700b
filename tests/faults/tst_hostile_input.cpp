// What a hostile program or an odd account of the same user hands the application: floods,
// partial and idle connections on the instance socket, something that is no file where the log
// goes, names whose bytes are not UTF-8, install paths no autostart reader can take, and markup
// in an alert's text.
#include "controller/single_instance.h"
#include "lifecycle.h"
#include "platform/desktop_services.h"
#include "platform/native_names.h"
#include "platform/xdg_autostart.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QScopeGuard>
#include <QTimer>

#include <filesystem>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

class HostileInputTest : public QObject
{
    Q_OBJECT

private slots:
    // The instance drops every client but `served` by itself, long before their lifetime unless
    // the row's is short, takes none for a request, and answers a proper one once they are gone
    // with no descriptor left behind.
    void instanceSocketLimits_data()
    {
        QTest::addColumn<int>("lifetimeMs");
        QTest::addColumn<int>("clients");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("served");
        QTest::newRow("a flood with no line feed") << 60000 << 1 << QByteArray(1 << 20, 'x') << 0;
        QTest::newRow("a request never ended") << 200 << 1 << "reopen"_ba << 0;
        QTest::newRow("more clients than places") << 60000 << 12 << QByteArray() << 4;
    }
    void instanceSocketLimits()
    {
        QFETCH(int, lifetimeMs);
        QFETCH(int, clients);
        QFETCH(QByteArray, bytes);
        QFETCH(int, served);
        QTemporaryDir folder;
        SingleInstance instance(folder.path());
        instance.setLimits({16, lifetimeMs, 4, 3000});
        QCOMPARE(instance.claim(), SingleInstance::Outcome::Primary);
        const auto descriptors = QDir(u"/proc/self/fd"_s).count();
        QSignalSpy reopened(&instance, &SingleInstance::reopenRequested);
        const auto connected = [&](const QByteArray& sent) {
            auto socket = std::make_unique<QLocalSocket>();
            socket->connectToServer(folder.filePath(u"io.tarvessa.tarvessa-audio-server.socket"_s));
            socket->write(sent);
            return socket;
        };
        std::vector<std::unique_ptr<QLocalSocket>> hostile;
        while (int(hostile.size()) < clients)
            hostile.push_back(connected(bytes));
        const auto open = [&] {
            return int(std::count_if(hostile.begin(), hostile.end(), [](auto& socket) {
                return socket->state() != QLocalSocket::UnconnectedState;
            }));
        };
        QTRY_COMPARE_WITH_TIMEOUT(open(), served, 10000);
        hostile.clear();
        // Read as it arrives: the instance closes straight after its answer.
        const auto reopen = [&] {
            auto client = connected("reopen\n");
            QByteArray answer;
            connect(client.get(), &QLocalSocket::readyRead, this,
                    [&] { answer += client->readAll(); });
            return QTest::qWaitFor([&] { return answer == "ok\n"; }, 2000);
        };
        QVERIFY(QTest::qWaitFor(reopen, 10000));
        QCOMPARE(reopened.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(QDir(u"/proc/self/fd"_s).count(), descriptors, 5000);
    }

    // Something already where the data folder or the log goes: the start fails at once and
    // says why, nothing there is lost, and a FIFO does not hang the open.
    void somethingInTheWay_data()
    {
        QTest::addColumn<QString>("at");
        QTest::addColumn<QString>("kind");
        const QString log = u"state/Tarvessa Audio Server/server.log"_s;
        QTest::newRow("a file for the data folder")
            << u"share/Tarvessa Audio Server"_s << u"file"_s;
        QTest::newRow("a folder for the log") << log + u"/kept"_s << u"file"_s;
        QTest::newRow("a FIFO for the log") << log << u"fifo"_s;
        QTest::newRow("a socket for the log") << log << u"socket"_s;
        QTest::newRow("a device for the log") << log << u"device"_s;
    }
    void somethingInTheWay()
    {
        QFETCH(QString, at);
        QFETCH(QString, kind);
        Lifecycle life;
        life.account.installRuntime(u"exit 0"_s);
        const QString path = life.account.home() + u"/.local/"_s + at;
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QLocalServer socket;
        if (kind == u"fifo")
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else if (kind == u"socket")
            QVERIFY(socket.listen(path));
        else
            QVERIFY(kind == u"file" ? writeFile(path, "kept") : QFile::link(u"/dev/null"_s, path));
        life.controller->startServer(false);
        const QString shown = life.controller->serverState.message();
        const QString failed = u"Tarvessa Audio Server could not prepare its data folders: "_s;
        QVERIFY(life.stateIs(ServerState::Case::failed));
        QVERIFY2(kind == u"file"
                     ? shown.startsWith(failed)
                     : shown == failed + u"The server log %1 is not a regular file"_s.arg(path),
                 qPrintable(shown));
        QVERIFY(!life.controller->serverProcess && !life.controller->logHandle);
        QCOMPARE(life.account.alerts.shown.size(), 1);
        QVERIFY(kind != u"file" || readAll(path) == "kept");
    }

    // Names are bytes: a home and a variable holding a Latin-1 byte and a lone surrogate reach
    // the folders and the server unchanged, with no second tree where the bytes were replaced.
    void namesThatAreNotUtf8PassUnchanged()
    {
        const QByteArray odd = "caf\xe9 \xed\xa0\x80 \xff\xfe \xe2\x82";
        qputenv("TARVESSA_ODD", odd);
        QCOMPARE(encodeNativeName(nativeSystemEnvironment().value(u"TARVESSA_ODD"_s)), odd);
        qunsetenv("TARVESSA_ODD");
        TestAccount account;
        const QByteArray home = QFile::encodeName(account.root()) + "/jos\xe9\xed\xa0\x80";
        QVERIFY(::mkdir(home.constData(), 0700) == 0);
        // QTemporaryDir cannot name what is not UTF-8 to remove it.
        const auto remove = qScopeGuard([&] {
            QProcess::execute(u"/bin/rm"_s, {u"-rf"_s, u"--"_s, account.root()});
        });
        for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
            account.environment.remove(QLatin1String(name));
        account.environment.insert(u"HOME"_s, decodeNativeName(home));
        account.environment.insert(u"ODD"_s, decodeNativeName(odd));
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
        // home, tmp, bundle, the odd home and the recorded environment, nothing else
        QCOMPARE(std::distance(std::filesystem::directory_iterator(
                                   QFile::encodeName(account.root()).toStdString()),
                               {}),
                 5);
        const QList<QByteArray> lines = readAll(account.path(u"env"_s)).split('\n');
        QVERIFY(lines.contains("ODD=" + odd) && lines.contains("HOME=" + home));
    }

    // No reader of the entry would start a program under a % or a \: registering says so, and
    // the item is never shown as on, not even with such an entry on disk from an earlier run.
    void autostartRefusesPathsNoReaderTakes_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("percent") << u"100% music"_s;
        QTest::newRow("backslash") << u"a\\b"_s;
    }
    void autostartRefusesPathsNoReaderTakes()
    {
        QFETCH(QString, folder);
        TestAccount account;
        const QString program = account.path(folder + u"/TarvessaAudioServer"_s);
        QVERIFY(QDir().mkpath(account.path(folder)) && QFile::link(u"/bin/true"_s, program));
        XdgAutostartService service(account.folders(), program, account.workspace);
        const std::optional<QString> failure = service.registerItem();
        QVERIFY(failure && failure->contains(program));
        QVERIFY(!QFileInfo::exists(service.entryPath()));
        QVERIFY(writeFile(service.entryPath(), service.entryContents()));
        QVERIFY(service.status() != LoginItemService::Enabled);
    }

    // A path in a message is the user's text, never markup.
    void alertTextIsShownAsPlainText()
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
                }
        });
        look.start(20);
        QCOMPARE(alerts.run({AlertRequest::Style::Warning, u"T"_s, text, {u"OK"_s}}), 0);
        QCOMPARE(seen, text);
        QCOMPARE(format, int(Qt::PlainText));
    }
};

QTEST_MAIN(HostileInputTest)
#include "tst_hostile_input.moc"
