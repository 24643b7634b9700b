// The controller's foundation: the menu's entries and what each does, the launch error alert,
// the command line's requests to the running instance, and the environment the server is given.
#include "controller/remote_commands.h"
#include "test_account.h"

#include <QAction>
#include <QMenu>
#include <QTest>
#include <future>

using namespace Qt::StringLiterals;

// The server's state when a request comes; "external" is a server that ran before us.
enum class Before
{
    Stopped,
    Failed,
    External
};
using Command = SingleInstance::Command;
using Outcome = SingleInstance::CommandOutcome;
Q_DECLARE_METATYPE(Before)
Q_DECLARE_METATYPE(Command)
Q_DECLARE_METATYPE(Outcome)
Q_DECLARE_METATYPE(ServerState::Case)

class FoundationTest : public QObject
{
    Q_OBJECT

private slots:
    // Each entry, found by its title: its shortcut, then what choosing it on a fresh account asks
    // of the desktop's doubles ("~" the home folder).
    void menuEntries_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("logThere");
        QTest::addColumn<QString>("done");
        const QString state = u"~/.local/state/Tarvessa Audio Server"_s;
        QTest::newRow("address") << u"http://127.0.0.1:2104"_s << false
                                 << u"|copied http://127.0.0.1:2104"_s;
        QTest::newRow("data folder")
            << u"Show Data Folder"_s << false << u"|opened ~/.local/share/Tarvessa Audio Server"_s;
        QTest::newRow("log, none yet")
            << u"Show Server Log"_s << false << u"Ctrl+L|opened "_s + state;
        QTest::newRow("log") << u"Show Server Log"_s << true
                             << u"Ctrl+L|revealed %1/server.log"_s.arg(state);
        QTest::newRow("start at login") << u"Start at Login"_s << false << u"|register"_s;
        QTest::newRow("quit") << u"Quit Tarvessa Audio Server"_s << false << u"Ctrl+Q|quit"_s;
    }
    void menuEntries()
    {
        QFETCH(QString, title);
        QFETCH(bool, logThere);
        QFETCH(QString, done);
        TestAccount account;
        auto controller = account.makeController();
        controller->buildStatusMenu();
        const QString log = controller->serverLogURL().toLocalFile();
        QVERIFY(!logThere || writeFile(log, "a run\n"));
        const QList<QAction*> entries = controller->statusMenu()->actions();
        const auto entry = std::ranges::find(entries, title, &QAction::text);
        QVERIFY(entry != entries.end());
        (*entry)->trigger();
        QStringList asked = QStringList{(*entry)->shortcut().toString()} + account.loginItems.calls;
        for (const QString& text : account.clipboard.texts)
            asked << u"copied "_s + text;
        for (const QString& folder : account.workspace.openedFolders)
            asked << u"opened "_s + folder +
                         (QFileInfo(folder).isDir() && QDir(folder).isEmpty() ? u""_s : u" (no)"_s);
        for (const QString& file : account.workspace.revealedFiles)
            asked << u"revealed "_s + file;
        asked << QStringList(account.quitRequests, u"quit"_s);
        QCOMPARE(asked.join(u'|').replace(account.home(), u"~"_s), done);
        QCOMPARE(QFileInfo::exists(log), logThere); // showing never makes the log
    }

    void launchErrorAlert()
    {
        TestAccount account;
        auto controller = account.makeController();
        const QString message = u"Server exited with status 1. Check the server log for details."_s;
        controller->presentLaunchError(message); // answered with the first button: Show Log
        const AlertRequest alert = account.alerts.shown.value(0);
        QCOMPARE(alert.style, AlertRequest::Style::Warning);
        QCOMPARE(alert.title + u'|' + alert.informativeText + u'|' + alert.buttons.join(u'|'),
                 u"Tarvessa Audio Server|%1|Show Log|OK"_s.arg(message));
        QCOMPARE(account.workspace.openedFolders,
                 QStringList{QFileInfo(controller->serverLogURL().toLocalFile()).path()});
        controller->applicationWillTerminate(); // owns no process: only the quitting matters
        controller->presentLaunchError(u"later"_s);
        // While quitting the state still follows, but no alert comes, so no log is shown.
        QCOMPARE(controller->serverState, ServerState::failed(u"later"_s));
        QCOMPARE(account.alerts.shown.size() + account.workspace.openedFolders.size(), 2);
    }

    // A request from the command line, through a real instance socket on a fresh account:
    // the outcome, what the launch prints (--status: its lines and exit status), and the state
    // it leaves. A failure's text reaches the launch on one line.
    void instanceCommands_data()
    {
        QTest::addColumn<Before>("before");
        QTest::addColumn<Command>("command");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("said");
        QTest::addColumn<int>("exitStatus"); // --status only
        QTest::addColumn<ServerState::Case>("after");
        using enum Before;
        using enum ServerState::Case;
        const QString address = u"\nhttp://127.0.0.1:2104\n"_s;
        const QString notOurs = u"The server on port 2104 was not started by this app, so "
                                "Tarvessa Audio Server cannot %1 it."_s;
        const struct
        {
            const char* name;
            Before before;
            Command command;
            Outcome outcome;
            QString said;
            int exitStatus;
            ServerState::Case after;
        } rows[] = {
            {"status, stopped", Stopped, Command::Status, Outcome::Done,
             u"Server stopped"_s + address, 3, stopped},
            {"status, failed", Failed, Command::Status, Outcome::Done,
             u"No runtime. See the log."_s + address, 1, failed},
            {"status, external", External, Command::Status, Outcome::Done,
             u"Server running (external)"_s + address, 0, running},
            {"start, external: left running",
             External,
             Command::Start,
             Outcome::Done,
             {},
             0,
             running},
            {"start, failing at once", Stopped, Command::Start, Outcome::Refused,
             u"The bundled Node.js runtime is missing or not executable."_s, 0, failed},
            {"stop, failed: stopped", Failed, Command::Stop, Outcome::Done, {}, 0, stopped},
            {"stop, external: refused", External, Command::Stop, Outcome::Refused,
             notOurs.arg(u"stop"_s), 0, running},
            {"restart, external: refused", External, Command::Restart, Outcome::Refused,
             notOurs.arg(u"restart"_s), 0, running},
        };
        for (const auto& row : rows)
            QTest::newRow(row.name) << row.before << row.command << row.outcome << row.said
                                    << row.exitStatus << row.after;
    }
    void instanceCommands()
    {
        QFETCH(Before, before);
        QFETCH(Command, command);
        QFETCH(Outcome, outcome);
        QFETCH(QString, said);
        QFETCH(int, exitStatus);
        QFETCH(ServerState::Case, after);
        TestAccount account;
        auto controller = account.makeController();
        controller->updateMenu(before == Before::Failed
                                   ? ServerState::failed(u"No runtime.\n  See the log."_s)
                               : before == Before::External ? ServerState::running()
                                                            : ServerState::stopped());
        SingleInstance instance(account.root());
        instance.setCommandHandler(
            [&](Command asked) { return answerCommand(*controller, asked); });
        QCOMPARE(instance.claim(), SingleInstance::Outcome::Primary);
        // Asked from a thread of its own, as the instance answers on this one.
        QString text;
        auto asked = std::async(std::launch::async, [&] {
            return SingleInstance(account.root()).requestCommand(command, &text);
        });
        QTRY_VERIFY(asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready);
        QCOMPARE(asked.get(), outcome);
        if (command == Command::Status) {
            const StatusReport report = statusReport(text);
            QCOMPARE(QString::fromLocal8Bit(report.output), said);
            QCOMPARE(report.exitStatus, exitStatus);
        } else {
            QCOMPARE(text, said);
        }
        QCOMPARE(controller->serverState.kind(), after);
    }
};

QTEST_MAIN(FoundationTest)
#include "tst_foundation.moc"
