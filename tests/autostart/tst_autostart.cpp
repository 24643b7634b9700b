// The autostart entry on disk: its statuses, registering and removing it, what the desktop's
// validator makes of it; the "Start at Login" item over it: its alerts and how it follows changes
// made elsewhere; and a launch at login: no browser, and no waiting for a bus that is not there.
#include "controller/app_delegate.h"
#include "platform/xdg_autostart.h"
#include "runtime/server_process.h"
#include "support/mode_server.h"
#include "support/test_account.h"

#include <QAction>
#include <QDBusConnection>
#include <QJsonObject>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <signal.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString Plain = u"Start at Login"_s;
const QString Approval = u"Start at Login (Approval Required)"_s;

// A temporary account with an installed executable and the autostart service over it. The
// programs the service starts are recorded, not run.
struct Setup
{
    explicit Setup(const QString& name = u"TarvessaAudioServer"_s)
        : executable(account.path(u"opt/bin/"_s + name))
    {
        writeFile(executable, "#!/bin/sh\n");
        QFile(executable).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // Nothing listens there: tests that reach for a server give their own port.
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, 9}});
    }

    // The entry as registering writes it, with the line given replacing the GNOME switch or, for
    // any other key, added.
    QByteArray entryWith(const QByteArray& line)
    {
        const QByteArray entry = service.entryContents();
        return line.startsWith("X-GNOME-Autostart-enabled=")
                   ? QByteArray(entry).replace("X-GNOME-Autostart-enabled=true", line)
                   : entry + line + '\n';
    }

    // The controller over the service: launched, or with only the menu built as the launch
    // builds it, starting nothing.
    std::unique_ptr<TarvessaAudioServerAppDelegate> controller(bool launched = false)
    {
        auto made = std::make_unique<TarvessaAudioServerAppDelegate>(
            TarvessaAudioServerAppDelegate::Services{account.alerts, account.workspace,
                                                     account.clipboard, service, account.folders(),
                                                     [] {}});
        if (launched) {
            made->applicationDidFinishLaunching({false});
        } else {
            made->buildStatusMenu();
            made->refreshStartAtLoginMenuItem();
        }
        return made;
    }

    TestAccount account;
    const QString executable;
    QList<QStringList> started; // program, then its arguments
    XdgAutostartService service{account.folders(), executable, account.workspace,
                                [this](const QString& program, const QStringList& arguments) {
                                    started.append(QStringList{program} + arguments);
                                    return true;
                                }};
};

} // namespace

class AutostartTest : public QObject
{
    Q_OBJECT

private slots:
    void status_data()
    {
        // A line added to our entry; a leading "-" removes the program as well.
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("status");
        QTest::newRow("registered") << ""_ba << 1;
        QTest::newRow("hidden by the user") << "Hidden=true"_ba << 2;
        QTest::newRow("switched off by the user") << "X-GNOME-Autostart-enabled=false"_ba << 2;
        QTest::newRow("program removed") << "-"_ba << 3;
        QTest::newRow("hidden, then program removed") << "-Hidden=true"_ba << 2;
    }

    void status()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, status);
        Setup setup;
        const bool removed = line.startsWith('-');
        writeFile(setup.service.entryPath(), setup.entryWith(line.mid(removed ? 1 : 0)));
        QVERIFY(!removed || QFile::remove(setup.executable));
        QCOMPARE(setup.service.status(), status);
    }

    void registerAndUnregister_data()
    {
        QTest::addColumn<QByteArray>("before"); // null: no file
        QTest::addColumn<int>("status");
        QTest::newRow("not registered") << QByteArray() << 0;
        QTest::newRow("not an entry")
            << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe", 18) << 3;
    }

    void registerAndUnregister()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, status);
        Setup setup;
        XdgAutostartService& service = setup.service;
        if (!before.isNull())
            writeFile(service.entryPath(), before);
        QCOMPARE(service.status(), status);
        QCOMPARE(service.registerItem().value_or(QString()), QString());
        QCOMPARE(service.status(), LoginItemService::Enabled);
        QCOMPARE(readAll(service.entryPath()), service.entryContents());
        // Nothing but the entry is left in the folder: the temporary file was renamed over it.
        QCOMPARE(QDir(service.autostartFolder())
                     .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QFileInfo(service.entryPath()).fileName()});
        QCOMPARE(service.unregisterItem().value_or(QString()), QString());
        QCOMPARE(service.status(), LoginItemService::NotRegistered);
        QCOMPARE(service.unregisterItem().value_or(QString()), QString()); // nothing to remove
    }

    void awkwardPathSurvivesAndTheValidatorAccepts()
    {
        Setup setup(u"My \"Apps\" 100 $x `y` a;b/TarvessaAudioServer"_s);
        QCOMPARE(setup.service.registerItem().value_or(QString()), QString());
        const auto group = DesktopEntry::mainGroup(readAll(setup.service.entryPath()));
        QVERIFY(group);
        const QString exec = DesktopEntry::unescape(group->value(u"Exec"_s));
        QCOMPARE(DesktopEntry::splitExec(exec).value_or(QStringList()),
                 (QStringList{setup.executable, u"--autostart"_s}));
        QCOMPARE(DesktopEntry::unescape(group->value(u"TryExec"_s)), setup.executable);
        QCOMPARE(setup.service.status(), LoginItemService::Enabled);

        const QString validator = QStandardPaths::findExecutable(u"desktop-file-validate"_s);
        if (validator.isEmpty())
            QSKIP("desktop-file-validate is not installed");
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(validator, {setup.service.entryPath()});
        QVERIFY(validate.waitForFinished(30000));
        const QByteArray said = validate.readAll(); // not even a warning or a hint
        QVERIFY2(validate.exitStatus() == QProcess::NormalExit && validate.exitCode() == 0 &&
                     said.isEmpty(),
                 said.constData());
    }

    void failedRegisterSaysWhy()
    {
        Setup setup;
        // A file where the autostart folder must go is what cannot be written, even by root.
        writeFile(setup.service.autostartFolder(), "a file, not a folder");
        QCOMPARE(
            setup.service.registerItem().value_or(QString()),
            u"Cannot create the folder %1: %2"_s.arg(
                setup.service.autostartFolder(), QString::fromLocal8Bit(std::strerror(EEXIST))));
        QCOMPARE(setup.service.status(), LoginItemService::NotRegistered);
    }

    // The item's toggle over a scripted login-item service: what it asks of the service and
    // which alerts it shows, for every status the service may report.
    void toggleTable_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("statusAfterRegister");
        QTest::addColumn<bool>("failure");
        QTest::addColumn<QString>("calls"); // register and unregister calls, then the alerts
        QTest::addColumn<bool>("checked");
        using L = LoginItemService;
        QTest::newRow("enabled: unregister") << L::Enabled << 0 << false << u"0 1"_s << false;
        QTest::newRow("not registered: register")
            << L::NotRegistered << 1 << false << u"1 0"_s << true;
        QTest::newRow("not registered, then approval")
            << L::NotRegistered << L::RequiresApproval << false << u"1 0 approval"_s << false;
        QTest::newRow("not found: as not registered")
            << L::NotFound << L::RequiresApproval << false << u"1 0 approval"_s << false;
        QTest::newRow("another number: register, never asked")
            << 7 << L::RequiresApproval << false << u"1 0"_s << false;
        QTest::newRow("requires approval: only asked, Not Now")
            << L::RequiresApproval << 0 << false << u"0 0 approval"_s << false;
        QTest::newRow("failed unregister") << L::Enabled << 0 << true << u"0 1 failure"_s << true;
        QTest::newRow("failed register")
            << L::NotRegistered << 1 << true << u"1 0 failure"_s << false;
    }
    void toggleTable()
    {
        QFETCH(int, status);
        QFETCH(int, statusAfterRegister);
        QFETCH(bool, failure);
        QFETCH(QString, calls);
        QFETCH(bool, checked);
        TestAccount account;
        ScriptedLoginItems& items = account.loginItems;
        items.currentStatus = status;
        items.statusAfterRegister = statusAfterRegister;
        if (failure)
            items.registerFailure = items.unregisterFailure = u"Permission denied"_s;
        // An approval alert is answered "Open System Settings", or "Not Now" when it is all.
        account.alerts.answers.enqueue(status == LoginItemService::RequiresApproval ? 1 : 0);
        auto controller = account.makeController();
        controller->buildStatusMenu();
        controller->toggleStartAtLogin();

        QStringList happened{QString::number(items.registerCalls),
                             QString::number(items.unregisterCalls)};
        for (const AlertRequest& alert : account.alerts.shown) {
            if (alert.title == u"Approve Start at Login"_s) {
                happened << u"approval"_s;
                QCOMPARE(alert.style, AlertRequest::Style::Informational);
                QCOMPARE(alert.informativeText,
                         u"Allow Tarvessa Audio Server in your desktop's Startup Applications "
                         "settings so your server can start automatically after you sign in."_s);
                QCOMPARE(alert.buttons, (QStringList{u"Open System Settings"_s, u"Not Now"_s}));
            } else {
                happened << u"failure"_s;
                QCOMPARE(alert.style, AlertRequest::Style::Warning);
                QCOMPARE(alert.title, u"Start at Login Could Not Be Changed"_s);
                QCOMPARE(alert.informativeText, u"Permission denied"_s);
                QCOMPARE(alert.buttons, QStringList{u"OK"_s});
            }
        }
        QCOMPARE(happened.join(u' '), calls);
        QCOMPARE(items.settingsOpened, int(calls.endsWith(u"approval"_s) &&
                                           status != LoginItemService::RequiresApproval));
        QCOMPARE(controller->startAtLoginMenuItem->isChecked(), checked);
    }

    // Switched off in the desktop's settings: the item asks for approval and changes nothing,
    // and follows a change made by hand at the next menu open.
    void approvalRequiredAsksThenFollowsTheEntry()
    {
        Setup setup;
        const QByteArray entry = setup.entryWith("X-GNOME-Autostart-enabled=false");
        writeFile(setup.service.entryPath(), entry);
        auto controller = setup.controller(); // not launched: no folder watch, only the menu open
        QAction* item = controller->startAtLoginMenuItem;
        QCOMPARE(item->text(), Approval);
        QVERIFY(item->isCheckable() && !item->isChecked());
        QVERIFY(!item->icon().isNull()); // the dash in a box: only in this state

        controller->toggleStartAtLogin(); // answered "Open System Settings"
        QCOMPARE(setup.account.alerts.shown.size(), 1);
        QCOMPARE(readAll(setup.service.entryPath()), entry);
        // With no desktop named, its settings are the autostart folder, shown.
        QCOMPARE(setup.account.workspace.openedFolders,
                 QStringList{setup.service.autostartFolder()});
        QVERIFY(setup.started.isEmpty());
        QCOMPARE(item->text(), Approval);

        writeFile(setup.service.entryPath(), setup.service.entryContents());
        emit controller->statusMenu()->aboutToShow();
        QVERIFY(item->isChecked());
        QCOMPARE(item->text(), Plain);
        QVERIFY(item->icon().isNull());
    }

    void folderWatchAloneKeepsTheItemCurrent()
    {
        Setup setup;
        ModeServer server; // a compatible server, so the launch starts nothing of its own
        setup.account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, server.serverPort()}});
        const QString entry = setup.service.entryPath();
        QVERIFY(!QFileInfo::exists(setup.account.folders().configHome()));
        auto controller = setup.controller(true);
        QAction* item = controller->startAtLoginMenuItem;
        QVERIFY(!item->isChecked());

        // Registered from elsewhere while neither the config folder nor the autostart folder
        // exists yet.
        XdgAutostartService elsewhere(setup.account.folders(), setup.executable,
                                      setup.account.workspace);
        QCOMPARE(elsewhere.registerItem().value_or(QString()), QString());
        QTRY_VERIFY(item->isChecked());

        writeFile(entry + u".edit"_s, setup.entryWith("Hidden=true")); // saved as editors do
        QVERIFY(std::rename(QFile::encodeName(entry + u".edit"_s), QFile::encodeName(entry)) == 0);
        QTRY_COMPARE(item->text(), Approval);
        QVERIFY(!item->isChecked());

        writeFile(entry, setup.service.entryContents()); // edited in place
        QTRY_VERIFY(item->isChecked());
        QCOMPARE(item->text(), Plain);

        QVERIFY(QFile::remove(entry));
        QTRY_VERIFY(!item->isChecked());
        controller->applicationWillTerminate();
    }

    void trayIconWaitsForTheHostButTheServerDoesNot()
    {
        TestAccount account;
        ModeServer server;
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, server.serverPort()}});
        auto controller = account.makeController();
        controller->applicationDidFinishLaunching({true}, true);
        QTRY_VERIFY(controller->serverState == ServerState::running());
        QVERIFY(!controller->statusItem);
        QVERIFY(account.workspace.openedUrls.isEmpty()); // at login, no browser
        controller->trayHostAppeared();
        QVERIFY(controller->statusItem && controller->statusItem->isVisible());
        QCOMPARE(controller->statusItem->contextMenu(), controller->statusMenu());
    }

    // (With an external server, the case above.)
    void launchAtLoginStartsItsServerAndOpensNoBrowser()
    {
        TestAccount account;
        // The server is "started" as a process that only sleeps; this one answers for it once
        // it runs.
        ModeServer server(ModeServer::response(503, "{}"));
        account.writeInfoJson(QJsonObject{{u"TarvessaServerPort"_s, server.serverPort()}});
        account.installRuntime(u"exec sleep 30"_s);
        auto controller = account.makeController();
        controller->applicationDidFinishLaunching({true});
        QTRY_VERIFY(controller->serverState == ServerState::starting());
        const qint64 pid = controller->serverProcess->processId();
        server.setAnswer(ModeServer::compatible());
        QTRY_VERIFY(controller->serverState == ServerState::running());
        QVERIFY(account.workspace.openedUrls.isEmpty());
        QVERIFY(account.alerts.shown.isEmpty());
        controller->applicationWillTerminate();
        QTRY_VERIFY(!controller->serverProcess);
        QCOMPARE(::kill(static_cast<pid_t>(pid), 0), -1); // reaped: gone for good
    }
};

QTEST_MAIN(AutostartTest)
#include "tst_autostart.moc"
