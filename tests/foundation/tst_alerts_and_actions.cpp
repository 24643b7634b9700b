// The launch error alert, and the menu's log and data folder actions.
#include "foundation_helpers.h"

#include <QAction>

using namespace foundation;

class AlertsAndActionsTest : public QObject
{
    Q_OBJECT

private slots:
    void launchError_data()
    {
        QTest::addColumn<bool>("quitting");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("showsLog");
        QTest::newRow("Show Log") << false << 0 << true;
        QTest::newRow("OK") << false << 1 << false;
        QTest::newRow("closed otherwise") << false << -1 << false;
        QTest::newRow("while quitting") << true << 0 << false;
    }

    void launchError()
    {
        QFETCH(bool, quitting);
        QFETCH(int, answer);
        QFETCH(bool, showsLog);
        Fixture f;
        f->updateMenu(ServerState::starting());
        if (quitting)
            f->applicationWillTerminate(); // owns no process: only the quitting flag matters
        f.account.alerts.answers.enqueue(answer);
        const QString message =
            QStringLiteral("Server exited with status 1. Check the server log for details.");
        f->presentLaunchError(message);

        QCOMPARE(f->serverState, ServerState::failed(message));
        QCOMPARE(f->statusMenuItem->text(), message);
        QCOMPARE(f.account.alerts.shown.size(), quitting ? 0 : 1);
        if (!quitting) {
            const AlertRequest& alert = f.account.alerts.shown.first();
            QCOMPARE(alert.style, AlertRequest::Style::Warning);
            QCOMPARE(alert.title, QStringLiteral("Tarvessa Audio Server"));
            QCOMPARE(alert.informativeText, message);
            QCOMPARE(alert.buttons,
                     (QStringList{QStringLiteral("Show Log"), QStringLiteral("OK")}));
        }
        QCOMPARE(f.account.workspace.openedFolders, showsLog ? QStringList{f.log} : QStringList());
    }

    void showServerLog_data()
    {
        QTest::addColumn<QString>("logFolderHolds");
        QTest::newRow("no log folder") << QStringLiteral("nothing");
        QTest::newRow("a log file") << QStringLiteral("log");
        QTest::newRow("a file in its place") << QStringLiteral("file"); // shown anyway
    }

    void showServerLog()
    {
        QFETCH(QString, logFolderHolds);
        Fixture f;
        const QString log = f.log + QStringLiteral("/server.log");
        const bool hasLog = logFolderHolds == QStringLiteral("log");
        QVERIFY(!hasLog || writeFile(log, "\n--- a run ---\n"));
        QVERIFY(logFolderHolds != QStringLiteral("file") || writeFile(f.log, "x"));

        f->showServerLog();
        QCOMPARE(f.account.workspace.revealedFiles, hasLog ? QStringList{log} : QStringList());
        QCOMPARE(f.account.workspace.openedFolders, hasLog ? QStringList() : QStringList{f.log});
        QCOMPARE(QFileInfo(f.log).isDir(), logFolderHolds != QStringLiteral("file"));
        QCOMPARE(QFileInfo::exists(log), hasLog); // showing never creates the log
    }

    void showDataFolder()
    {
        Fixture f;
        QVERIFY(!QFileInfo::exists(f.home + QStringLiteral(".local")));
        f->showDataFolder();
        QVERIFY(QFileInfo(f.data).isDir());
        QVERIFY(QDir(f.data).isEmpty());
        QCOMPARE(f.account.workspace.openedFolders, QStringList{f.data});
    }
};

QTEST_MAIN(AlertsAndActionsTest)
#include "tst_alerts_and_actions.moc"
