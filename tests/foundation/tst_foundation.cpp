// The controller's foundation: the menu's entries and what each does, the launch error alert,
// the command line's requests to the running instance, and the environment the server is given.
#include "controller/quit_signals.h"
#include "controller/remote_commands.h"
#include "test_account.h"

#include <QAction>
#include <QMenu>
#include <QScopeGuard>
#include <QTest>
#include <csignal>
#include <future>
#include <unistd.h>

using namespace Qt::StringLiterals;

using Command = SingleInstance::Command;

// What happens while an alert is open.
enum class Meanwhile
{
    ServerFails,
    ApprovalClicked, // on "Start at Login (Approval Required)"
    LoginChangeFails
};

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

    // The folders are absolute whatever HOME says: a home that is not absolute (the server
    // would read it from its own working folder) gives way to the account's passwd entry ("~").
    // The XDG variables win where they are set and absolute.
    void foldersWhateverHomeSays()
    {
        const std::pair<QString, QString> homes[] = {{u"/h"_s, u"/h"_s},
                                                     {u"h"_s, u"~"_s},
                                                     {QString(), u"~"_s}, // null: unset
                                                     {u"/h XDG"_s, u"/x"_s}};
        for (auto [home, expected] : homes) {
            QProcessEnvironment inherited;
            if (!home.isNull())
                inherited.insert(u"HOME"_s, home.section(u' ', 0, 0));
            for (const char* name : {"DATA", "STATE", "CACHE", "CONFIG"})
                if (home.endsWith(u"XDG"_s))
                    inherited.insert(u"XDG_%1_HOME"_s.arg(QLatin1String(name)),
                                     u"/x/"_s + QLatin1String(name));
            const BaseFolders folders(inherited, {});
            const QString wanted = home.endsWith(u"XDG"_s)
                                       ? u"~/DATA|~/STATE|~/CACHE|~/CONFIG"_s
                                       : u"~/.local/share|~/.local/state|~/.cache|~/.config"_s;
            QCOMPARE(QStringList({folders.dataHome(), folders.stateHome(), folders.cacheHome(),
                                  folders.configHome()})
                         .join(u'|'),
                     QString(wanted).replace(
                         u'~', QDir::cleanPath(expected.replace(u'~', BaseFolders::passwdHome()))));
        }
    }

    // Requests from the command line through a real instance socket, in each state: "ok" or
    // "no" and what the launch prints (--status: the state's name as the instances exchange it,
    // the exit status and lines, "|" ending each), then the state left. A failure's text reaches
    // the launch on one line. None of them opens the browser.
    void instanceCommands()
    {
        using enum ServerState::Case;
        const ServerState external = ServerState::running(), none = ServerState::stopped(),
                          failure = ServerState::failed(u"No runtime.\n  See the log."_s);
        const QString address = u"http://127.0.0.1:2104|"_s,
                      notOurs = u"no The server on port 2104 was not started by this app, so "
                                "Tarvessa Audio Server cannot "_s;
        const struct
        {
            ServerState before;
            Command command;
            QString said;
            ServerState::Case after;
            QString runtime = {}; // none: the bundle's runtime is missing
        } rows[] = {
            {none, Command::Status, u"ok stopped 3 Server stopped|"_s + address, stopped},
            {failure, Command::Status, u"ok failed 1 No runtime. See the log.|"_s + address,
             failed},
            {external, Command::Status, u"ok running 0 Server running (external)|"_s + address,
             running},
            {external, Command::Start, u"ok "_s, running},
            {none, Command::Start, u"ok "_s, failed}, // the runtime is missing: its alert follows
            {none, Command::Start, u"ok "_s, starting, u"exec sleep 60"_s},
            {failure, Command::Stop, u"ok "_s, stopped},
            {external, Command::Stop, notOurs + u"stop it."_s, running},
            {external, Command::Restart, notOurs + u"restart it."_s, running},
            {none, Command::Restart, u"ok "_s, starting, u"exec sleep 60"_s},
        };
        for (const auto& row : rows) {
            TestAccount account;
            auto controller = account.makeController();
            controller->updateMenu(row.before);
            if (!row.runtime.isEmpty())
                account.installRuntime(row.runtime);
            SingleInstance instance(account.root());
            instance.setCommandHandler(
                [&](Command asked) { return answerCommand(*controller, asked); });
            QCOMPARE(instance.claim(), SingleInstance::Outcome::Primary);
            QString text; // asked from a thread of its own, as the instance answers on this one
            auto asked = std::async(std::launch::async, [&] {
                return SingleInstance(account.root()).requestCommand(row.command, &text);
            });
            QTRY_VERIFY(asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready);
            const StatusReport report = statusReport(text);
            const QString said =
                (asked.get() == SingleInstance::CommandOutcome::Done ? u"ok "_s : u"no "_s) +
                (row.command != Command::Status
                     ? text
                     : text.section(u' ', 0, 0) + u' ' + QString::number(report.exitStatus) + u' ' +
                           QString::fromLocal8Bit(report.output).replace(u'\n', u'|'));
            QCOMPARE(said, row.said);
            QTRY_COMPARE(controller->serverState.kind(), row.after);
            QVERIFY(!controller->openBrowserWhenReady);
        }
        // A refusal reaches the command line as its reason, on standard error, with status 1.
        {
            TestAccount account;
            auto controller = account.makeController();
            controller->updateMenu(external);
            SingleInstance instance(account.root()), client(account.root());
            instance.setCommandHandler(
                [&](Command asked) { return answerCommand(*controller, asked); });
            QCOMPARE(instance.claim(), SingleInstance::Outcome::Primary);
            const QString errors = account.path(u"stderr"_s);
            const int kept = ::dup(STDERR_FILENO);
            QFile file(errors);
            QVERIFY(file.open(QIODevice::WriteOnly) && ::dup2(file.handle(), STDERR_FILENO) >= 0);
            const auto restore = qScopeGuard([&] { ::dup2(kept, STDERR_FILENO), ::close(kept); });
            auto asked = std::async(std::launch::async,
                                    [&] { return askRunningInstance(client, Command::Stop); });
            QTRY_VERIFY(asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready);
            QCOMPARE(asked.get(), std::optional(1));
            QVERIFY(readAll(errors).contains(
                "Tarvessa Audio Server: --stop: " + notOurs.mid(3).toUtf8() + "stop it.\n"));
        }
        // Where no lock can even be read, no instance is asked, and the launch is told why; nor
        // can it become the instance.
        SingleInstance nowhere(QDir::temp().filePath(u"no-such-folder"_s));
        QString text;
        QCOMPARE(nowhere.requestCommand(Command::Status, &text),
                 SingleInstance::CommandOutcome::NoAnswer);
        QCOMPARE(nowhere.errorText(), u"cannot read the lock file"_s);
        QCOMPARE(nowhere.claim(), SingleInstance::Outcome::Unavailable);
        QCOMPARE(nowhere.errorText(), u"cannot create the lock file"_s);
    }

    // Once the application's watch on them has gone, SIGTERM, SIGINT and SIGHUP end it again.
    void quitSignalsGoWithTheirWatch()
    {
        {
            QuitSignals watch;
        }
        for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
            struct sigaction now = {};
            QVERIFY(::sigaction(number, nullptr, &now) == 0 && now.sa_handler == SIG_DFL);
        }
    }

    // While the failure of the server "failed 0" is shown (answered "OK"), more comes: the
    // alerts follow one at a time, in order; a newer failure replaces one still waiting, but an
    // alert the user asked for is never dropped, nor queued twice.
    void oneAlertAtATime_data()
    {
        QTest::addColumn<QList<Meanwhile>>("meanwhile");
        QTest::addColumn<QString>("shown");
        using M = Meanwhile;
        QTest::newRow("failures: the latest waits")
            << QList{M::ServerFails, M::ServerFails} << u"failed 0|failed 2"_s;
        QTest::newRow("an approval asked for outlives a later failure")
            << QList{M::ApprovalClicked, M::ServerFails} << u"failed 0|approval|failed 1"_s;
        QTest::newRow("asked twice, shown once")
            << QList{M::ApprovalClicked, M::ServerFails, M::ApprovalClicked}
            << u"failed 0|approval|failed 1"_s;
        QTest::newRow("a login change's failure is kept too")
            << QList{M::LoginChangeFails, M::ServerFails, M::ServerFails}
            << u"failed 0|Start at Login Could Not Be Changed|failed 2"_s;
    }
    void oneAlertAtATime()
    {
        QFETCH(QList<Meanwhile>, meanwhile);
        TestAccount account;
        auto controller = account.makeController();
        controller->buildStatusMenu();
        int failures = 0;
        account.alerts.answers << 1 << 1 << 1 << 1; // "OK", "Not Now"
        account.alerts.whileOpen = [&] {
            for (Meanwhile event : meanwhile) {
                account.loginItems.currentStatus = event == Meanwhile::ApprovalClicked
                                                       ? LoginItemService::RequiresApproval
                                                       : LoginItemService::NotRegistered;
                account.loginItems.failure = event == Meanwhile::LoginChangeFails
                                                 ? std::optional(u"Permission denied"_s)
                                                 : std::nullopt;
                event == Meanwhile::ServerFails
                    ? controller->presentLaunchError(u"failed %1"_s.arg(++failures))
                    : controller->toggleStartAtLogin();
            }
        };
        controller->presentLaunchError(u"failed 0"_s);
        QStringList shown;
        for (const AlertRequest& alert : account.alerts.shown)
            shown << (alert.title == u"Tarvessa Audio Server"_s    ? alert.informativeText
                      : alert.title == u"Approve Start at Login"_s ? u"approval"_s
                                                                   : alert.title);
        QTEST(shown.join(u'|'), "shown");
        account.alerts.whileOpen = {}; // and once they are all answered, the next is shown at once
        controller->presentLaunchError(u"later"_s);
        QCOMPARE(account.alerts.shown.last().informativeText, u"later"_s);
    }
};

QTEST_MAIN(FoundationTest)
#include "tst_foundation.moc"
