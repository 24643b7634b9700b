// The "Start at Login" item over a real autostart entry: what a click does in each status, the
// alerts it shows, and how the item follows changes made in the desktop's settings or by hand.
#include "autostart_fixture.h"
#include "controller/app_delegate.h"
#include "support/mode_server.h"

#include <QAction>
#include <QJsonObject>
#include <QMenu>

#include <cstring>

namespace {

const QString Plain = QStringLiteral("Start at Login");
const QString Approval = QStringLiteral("Start at Login (Approval Required)");

std::unique_ptr<TarvessaAudioServerAppDelegate> controllerOver(AutostartAccount& setup)
{
    TestAccount& account = setup.account;
    return std::make_unique<TarvessaAudioServerAppDelegate>(
        TarvessaAudioServerAppDelegate::Services{account.alerts, account.workspace,
                                                 account.clipboard, setup.service(),
                                                 account.folders(), [] {}});
}

// The menu as the launch builds it, without starting anything.
std::unique_ptr<TarvessaAudioServerAppDelegate> menuOver(AutostartAccount& setup)
{
    auto controller = controllerOver(setup);
    controller->buildStatusMenu();
    controller->refreshStartAtLoginMenuItem();
    return controller;
}

} // namespace

class StartAtLoginMenu : public QObject
{
    Q_OBJECT

private slots:
    void failedRegisterShowsOnlyTheErrorAlert()
    {
        AutostartAccount setup;
        XdgAutostartService& service = setup.service();
        // Tests run as root: a file where the autostart folder must go is what cannot be written.
        writeFile(service.autostartFolder(), "a file, not a folder");
        auto controller = menuOver(setup);

        controller->toggleStartAtLogin();
        const QList<AlertRequest>& shown = setup.account.alerts.shown;
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].style, AlertRequest::Style::Warning);
        QCOMPARE(shown[0].title, QStringLiteral("Start at Login Could Not Be Changed"));
        QCOMPARE(shown[0].buttons, QStringList{QStringLiteral("OK")});
        QCOMPARE(shown[0].informativeText, QStringLiteral("Cannot create the folder %1: %2")
                                               .arg(service.autostartFolder(),
                                                    QString::fromLocal8Bit(std::strerror(EEXIST))));
        QVERIFY(!controller->startAtLoginMenuItem->isChecked());
        QCOMPARE(controller->startAtLoginMenuItem->text(), Plain);
    }

    void approvalRequiredAsksAndChangesNothing_data()
    {
        QTest::addColumn<QByteArray>("how");
        QTest::addColumn<int>("answer");
        QTest::newRow("Hidden, Not Now") << QByteArray("Hidden=true") << 1;
        QTest::newRow("GNOME key, Not Now") << QByteArray("X-GNOME-Autostart-enabled=false") << 1;
        QTest::newRow("Hidden, Open System Settings") << QByteArray("Hidden=true") << 0;
    }

    void approvalRequiredAsksAndChangesNothing()
    {
        QFETCH(QByteArray, how);
        QFETCH(int, answer);
        AutostartAccount setup;
        const QString bin = setup.account.path(QStringLiteral("bin"));
        makeExecutable(bin + QStringLiteral("/systemsettings"));
        setup.account.environment.insert(QStringLiteral("PATH"), bin);
        setup.account.environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"),
                                         QStringLiteral("KDE"));
        XdgAutostartService& service = setup.service();
        const QByteArray entry = setup.entryWith(how);
        writeFile(service.entryPath(), entry);
        // The executable on PATH is only a stand-in: the test records what would be started.
        auto controller = menuOver(setup);
        QAction* item = controller->startAtLoginMenuItem;
        QCOMPARE(item->text(), Approval);
        QVERIFY(item->isCheckable() && !item->isChecked());
        QVERIFY(!item->icon().isNull()); // the dash in a box: only in this state

        setup.account.alerts.answers.enqueue(answer);
        controller->toggleStartAtLogin();
        const QList<AlertRequest>& shown = setup.account.alerts.shown;
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].style, AlertRequest::Style::Informational);
        QCOMPARE(shown[0].title, QStringLiteral("Approve Start at Login"));
        QCOMPARE(shown[0].buttons,
                 (QStringList{QStringLiteral("Open System Settings"), QStringLiteral("Not Now")}));
        QCOMPARE(readFile(service.entryPath()), entry);
        QCOMPARE(setup.started.size(), answer == 0 ? 1 : 0);
        if (answer == 0)
            QCOMPARE(setup.started[0], (QStringList{bin + QStringLiteral("/systemsettings"),
                                                    QStringLiteral("kcm_autostart")}));
        QVERIFY(setup.account.workspace.openedFolders.isEmpty());
        QCOMPARE(item->text(), Approval);
        QVERIFY(!item->isChecked());
    }

    void approvalGivenByHandShowsAtTheNextMenuOpen()
    {
        AutostartAccount setup;
        XdgAutostartService& service = setup.service();
        writeFile(service.entryPath(), setup.entryWith("X-GNOME-Autostart-enabled=false"));
        auto controller = menuOver(setup); // not launched: no folder watch, only the menu open
        QAction* item = controller->startAtLoginMenuItem;
        QCOMPARE(item->text(), Approval);

        writeFile(service.entryPath(), service.entryContents());
        emit controller->statusMenu()->aboutToShow();
        QVERIFY(item->isChecked());
        QCOMPARE(item->text(), Plain);
        QVERIFY(item->icon().isNull());
        QVERIFY(setup.account.alerts.shown.isEmpty());
    }

    void folderWatchAloneKeepsTheItemCurrent()
    {
        AutostartAccount setup;
        ModeServer server; // a compatible server, so the launch starts nothing of its own
        setup.account.writeInfoJson(
            QJsonObject{{QStringLiteral("TarvessaServerPort"), server.serverPort()}});
        XdgAutostartService& service = setup.service();
        QVERIFY(!QFileInfo::exists(setup.account.folders().configHome()));
        auto controller = controllerOver(setup);
        controller->applicationDidFinishLaunching({false});
        QAction* item = controller->startAtLoginMenuItem;
        QVERIFY(!item->isChecked());

        // Registered from elsewhere while neither the config folder nor the autostart folder
        // exists yet.
        XdgAutostartService elsewhere(setup.account.folders(), setup.executable,
                                      setup.account.workspace);
        QVERIFY_SUCCEEDS(elsewhere.registerItem());
        QTRY_VERIFY(item->isChecked());

        replaceFile(service.entryPath(), setup.entryWith("Hidden=true"));
        QTRY_COMPARE(item->text(), Approval);
        QVERIFY(!item->isChecked());

        writeFile(service.entryPath(), service.entryContents()); // edited in place
        QTRY_VERIFY(item->isChecked());
        QCOMPARE(item->text(), Plain);

        QVERIFY(QFile::remove(service.entryPath()));
        QTRY_VERIFY(!item->isChecked());
        controller->applicationWillTerminate();
    }
};

QTEST_MAIN(StartAtLoginMenu)
#include "tst_start_at_login_menu.moc"
