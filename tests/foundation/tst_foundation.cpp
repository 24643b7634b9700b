// The controller's foundation: the menu's entries and what each does, the launch error alert,
// and the environment the server is given.
#include "test_account.h"

#include <QAction>
#include <QMenu>
#include <QTest>

using namespace Qt::StringLiterals;

class FoundationTest : public QObject
{
    Q_OBJECT

private slots:
    // Each entry, found by its title: its shortcut, and what choosing it does on a fresh account
    // ("~" the home folder).
    void menuEntries_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("shortcut");
        QTest::addColumn<bool>("logThere");
        QTest::addColumn<QString>("done"); // what the desktop's doubles were asked
        const QString state = u"~/.local/state/Tarvessa Audio Server"_s;
        QTest::newRow("address") << u"http://127.0.0.1:2104"_s << u""_s << false
                                 << u"copied http://127.0.0.1:2104"_s;
        QTest::newRow("data folder") << u"Show Data Folder"_s << u""_s << false
                                     << u"opened ~/.local/share/Tarvessa Audio Server"_s;
        QTest::newRow("log, none yet")
            << u"Show Server Log"_s << u"Ctrl+L"_s << false << u"opened "_s + state;
        QTest::newRow("log") << u"Show Server Log"_s << u"Ctrl+L"_s << true
                             << u"revealed %1/server.log"_s.arg(state);
        QTest::newRow("start at login") << u"Start at Login"_s << u""_s << false << u"register"_s;
        QTest::newRow("quit") << u"Quit Tarvessa Audio Server"_s << u"Ctrl+Q"_s << false
                              << u"quit"_s;
    }
    void menuEntries()
    {
        QFETCH(QString, title);
        QFETCH(QString, shortcut);
        QFETCH(bool, logThere);
        QFETCH(QString, done);
        TestAccount account;
        auto controller = account.makeController();
        controller->buildStatusMenu();
        const QString log = controller->serverLogURL().toLocalFile();
        QVERIFY(!logThere || writeFile(log, "a run\n"));
        QAction* entry = nullptr;
        for (QAction* each : controller->statusMenu()->actions())
            entry = each->text() == title ? each : entry;
        QVERIFY(entry);
        QCOMPARE(entry->shortcut().toString(), shortcut);
        entry->trigger();
        QStringList asked = account.loginItems.calls;
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
        QVERIFY(account.alerts.shown.isEmpty());
    }

    void launchErrorAlert()
    {
        TestAccount account;
        auto controller = account.makeController();
        controller->buildStatusMenu();
        const QString message = u"Server exited with status 1. Check the server log for details."_s;
        controller->presentLaunchError(message); // answered with the first button: Show Log
        QCOMPARE(controller->serverState, ServerState::failed(message));
        QCOMPARE(account.alerts.shown.size(), 1);
        const AlertRequest alert = account.alerts.shown[0];
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
};

QTEST_MAIN(FoundationTest)
#include "tst_foundation.moc"
