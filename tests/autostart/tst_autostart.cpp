// The autostart entry on disk: its statuses, what the desktop's own readers make of it once
// registered, down to a launch at login, and the paths no reader takes; and the "Start at Login"
// item's toggle and its alerts.
#include "controller/launch_options.h"
#include "session/desktop_entry.h"
#include "session/xdg_autostart.h"
#include "test_account.h"

#include <QAction>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {
// An account with the application installed in `folder`, by default where the path is awkward
// for every reader.
struct Installed
{
    static inline const QString awkward = u"My \"Apps\" $x `y` a;b"_s;
    explicit Installed(const QString& folder = awkward)
        : program(account.path(folder + u"/TarvessaAudioServer"_s))
    {
        writeFile(program, "#!/bin/sh\n");
        QFile(program).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    }
    TestAccount account;
    const QString program;
    XdgAutostartService service{account.folders(), program, account.workspace,
                                [](const QString&, const QStringList&) { return true; }};
};

// The service's statuses, by name.
constexpr int Unregistered = LoginItemService::NotRegistered, Enabled = LoginItemService::Enabled,
              Approval = LoginItemService::RequiresApproval, Missing = LoginItemService::NotFound;
} // namespace

class AutostartTest : public QObject
{
    Q_OBJECT

private slots:
    // What status() makes of an entry registered and then edited: `line` for the GNOME switch
    // (null: no entry), and texts that are no desktop entry. A path no reader takes, under a %
    // or a \\, is refused on registering, and never shown as on with such an entry on disk.
    void status_data()
    {
        QTest::addColumn<QString>("folder"); // null: Installed::awkward
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("programThere");
        QTest::addColumn<int>("status");
        const QByteArray on = "X-GNOME-Autostart-enabled=true";
        const QString awkward; // Installed::awkward
        QTest::newRow("not registered") << awkward << QByteArray() << true << Unregistered;
        QTest::newRow("registered") << awkward << on << true << Enabled;
        QTest::newRow("hidden by the user") << awkward << "Hidden=true"_ba << true << Approval;
        QTest::newRow("switched off")
            << awkward << "X-GNOME-Autostart-enabled=false"_ba << true << Approval;
        QTest::newRow("switched off as 0")
            << awkward << "X-GNOME-Autostart-enabled=0"_ba << true << Approval;
        QTest::newRow("switched on as 1")
            << awkward << "X-GNOME-Autostart-enabled=1"_ba << true << Enabled;
        QTest::newRow("program removed") << awkward << on << false << Missing;
        QTest::newRow("hidden, program removed")
            << awkward << "Hidden=true"_ba << false << Approval;
        QTest::newRow("not UTF-8") << awkward << "Name=\xff"_ba << true << Missing;
        QTest::newRow("the group twice") << awkward << "[Desktop Entry]"_ba << true << Missing;
        QTest::newRow("a line that is no key") << awkward << "bad key=1"_ba << true << Missing;
        QTest::newRow("a % in the path") << u"100% music"_s << on << true << Missing;
        QTest::newRow("a \\ in the path") << u"a\\b"_s << on << true << Missing;
    }
    void status()
    {
        QFETCH(QString, folder);
        QFETCH(QByteArray, line);
        QFETCH(bool, programThere);
        QFETCH(int, status);
        Installed installed(folder.isNull() ? Installed::awkward : folder);
        const QString entry = installed.service.entryPath();
        const Expected<void> made =
            line.isNull() ? Expected<void>() : installed.service.registerItem();
        QVERIFY(made.ok() ? folder.isNull()
                          : made.error().description.startsWith(
                                u"The desktop cannot start a program from %1 at login"_s.arg(
                                    installed.program)) &&
                                !QFileInfo::exists(entry));
        QVERIFY(line.isNull() || writeFile(entry, installed.service.entryContents().replace(
                                                      "X-GNOME-Autostart-enabled=true", line)));
        QVERIFY(programThere || QFile::remove(installed.program));
        QCOMPARE(installed.service.status(), status);
    }

    // Registered, the entry is where the desktop looks, and its own readers start the program
    // with --autostart, which is recognised as a launch at login. It names the program in
    // TryExec too, so that a desktop which checks only that (Plasma) skips it once it has gone.
    void desktopReadsTheEntry_data()
    {
        QTest::addColumn<QString>("script"); // the entry in $1; prints the program's argv
        QTest::newRow("GLib") << uR"(/usr/bin/python3 -c 'import sys, gi
gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib
app = Gio.DesktopAppInfo.new_from_filename(sys.argv[1])
print("\n".join(GLib.shell_parse_argv(app.get_commandline())[1]))' "$1")"_s;
        // Its ExecStart line keeps the quotes and escapes the shell reads the same way.
        QTest::newRow("systemd")
            << uR"sh(units=$HOME/units && mkdir "$units" && XDG_CONFIG_DIRS=/none \
/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator "$units" "$units" "$units" &&
eval "printf '%s\n' $(sed -n 's/^ExecStart=://p' "$units"/app*.service)")sh"_s;
    }
    void desktopReadsTheEntry()
    {
        QFETCH(QString, script);
        Installed installed;
        QVERIFY(installed.service.registerItem().ok());
        // Where the desktop looks, written whole beside it and renamed over: nothing else is left.
        QCOMPARE(QDir(installed.account.home() + u"/.config/autostart"_s)
                     .entryList(QDir::Files | QDir::Hidden),
                 QStringList{u"io.tarvessa.tarvessa-audio-server.desktop"_s});
        QProcess reader;
        reader.setProcessEnvironment(installed.account.environment);
        reader.start(u"/bin/sh"_s, {u"-c"_s, script, u"sh"_s, installed.service.entryPath()});
        QVERIFY(reader.waitForFinished(deadline(20000)));
        const QString err = QString::fromUtf8(reader.readAllStandardError());
        if (err.contains(u"No module named 'gi'"_s) || err.contains(u"not found"_s))
            QSKIP(qPrintable(u"the reader is not installed: "_s + err));
        QVERIFY2(reader.exitCode() == 0, qPrintable(err));
        const QStringList argv = QString::fromUtf8(reader.readAllStandardOutput()).split(u'\n');
        QCOMPARE(argv, (QStringList{installed.program, u"--autostart"_s, u""_s}));
        QVERIFY(parseLaunchOptions(argv).launchedAtLogin);
        QVERIFY(!parseLaunchOptions({installed.program}).launchedAtLogin);
        const auto entry = DesktopEntry::mainGroup(readAll(installed.service.entryPath()));
        QCOMPARE(DesktopEntry::unescape(entry.value_or(QHash<QString, QString>())[u"TryExec"_s]),
                 installed.program);
    }

    // Where "Open System Settings" leads on each desktop: its autostart page when the program
    // is installed and starts, else the autostart folder itself, made if need be.
    void settingsPage()
    {
        const struct
        {
            const char* name;
            QString desktop; // XDG_CURRENT_DESKTOP
            QStringList installed;
            bool starts;
            QString done; // "~": the autostart folder
        } rows[] = {
            {"Plasma",
             u"KDE"_s,
             {u"systemsettings"_s, u"systemsettings5"_s},
             true,
             u"systemsettings kcm_autostart"_s},
            {"Plasma 5",
             u"KDE"_s,
             {u"systemsettings5"_s},
             true,
             u"systemsettings5 kcm_autostart"_s},
            {"GNOME with Tweaks", u"ubuntu:GNOME"_s, {u"gnome-tweaks"_s}, true, u"gnome-tweaks"_s},
            {"GNOME without", u"GNOME"_s, {}, true, u"opened ~"_s},
            {"a page that does not start", u"KDE"_s, {u"systemsettings"_s}, false, u"opened ~"_s},
            {"another desktop",
             u"XFCE"_s,
             {u"systemsettings"_s, u"gnome-tweaks"_s},
             true,
             u"opened ~"_s},
        };
        for (const auto& [name, desktop, installed, starts, done] : rows) {
            TestAccount account;
            account.environment.insert(u"XDG_CURRENT_DESKTOP"_s, desktop);
            account.environment.insert(u"PATH"_s, account.path(u"bin"_s));
            for (const QString& program : installed) {
                QVERIFY(writeFile(account.path(u"bin/"_s + program), "#!/bin/sh\n"));
                QFile(account.path(u"bin/"_s + program)).setPermissions(QFile::ExeOwner);
            }
            QStringList started;
            XdgAutostartService service(
                account.folders(), account.path(u"TarvessaAudioServer"_s), account.workspace,
                [&](const QString& program, const QStringList& arguments) {
                    started << (QStringList{QFileInfo(program).fileName()} + arguments).join(u' ');
                    return starts;
                });
            service.openSettings();
            for (const QString& folder : account.workspace.openedFolders)
                started << u"opened "_s +
                               (folder == service.autostartFolder() && QFileInfo(folder).isDir()
                                    ? u"~"_s
                                    : folder);
            QCOMPARE(started.last(), done);
            QVERIFY2(started.size() == (starts || installed.isEmpty() ? 1 : 2), name);
        }
    }

    // A write that fails part-way (here a file-size limit, as a full disk would) fails the
    // registration with its reason and leaves the entry before it whole, and no half-written
    // file beside it.
    void aFailedWriteKeepsTheEntry()
    {
        Installed installed;
        XdgAutostartService& service = installed.service;
        QVERIFY(service.registerItem().ok());
        const QByteArray before = readAll(service.entryPath());
        ::signal(SIGXFSZ, SIG_IGN); // the write then fails with EFBIG instead
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit small{16, limit.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &small);
        const Expected<void> registered = service.registerItem();
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_DFL);
        QCOMPARE(registered.ok() ? QString() : registered.error().description,
                 u"Cannot write %1: File too large"_s.arg(service.entryPath()));
        QCOMPARE(readAll(service.entryPath()), before);
        QCOMPARE(QDir(service.autostartFolder()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QFileInfo(service.entryPath()).fileName()});
    }

    // Changed behind the application's back (the desktop's settings, a hand edit), the entry's
    // status reaches the "Start at Login" item without the menu opening, also when its folder
    // is removed and made anew.
    void theItemFollowsTheEntryOnDisk()
    {
        Installed installed;
        XdgAutostartService& service = installed.service;
        TestAccount& account = installed.account;
        // The launch starts a server that says its file mode mask and ends at once.
        account.installRuntime(u"umask >'%1'"_s.arg(account.path(u"umask"_s)));
        TarvessaAudioServerAppDelegate controller({account.alerts, account.workspace,
                                                   account.clipboard, service, account.folders(),
                                                   [] {}});
        controller.applicationDidFinishLaunching({.launchedAtLogin = true});
        QTRY_COMPARE(readAll(account.path(u"umask"_s)), "0077\n"); // what it makes is ours alone

        const auto shown = [&] {
            QAction* item = controller.startAtLoginMenuItem;
            const bool approval = item->text().endsWith(u"(Approval Required)"_s);
            if (approval == item->icon().isNull()) // its icon marks approval pending, only that
                return u"icon wrong"_s;
            return approval ? u"approval"_s : item->isChecked() ? u"on"_s : u"off"_s;
        };
        QVERIFY(service.registerItem().ok());
        QTRY_COMPARE(shown(), u"on"_s);
        QVERIFY(writeFile(
            service.entryPath(),
            service.entryContents().replace("X-GNOME-Autostart-enabled=true", "Hidden=true")));
        QTRY_COMPARE(shown(), u"approval"_s);
        QVERIFY(QFile::remove(service.entryPath()));
        QTRY_COMPARE(shown(), u"off"_s);
        QVERIFY(QDir(service.autostartFolder()).removeRecursively());
        QTRY_COMPARE(shown(), u"off"_s);
        QVERIFY(service.registerItem().ok());
        QTRY_COMPARE(shown(), u"on"_s);
    }

    // The toggle over a scripted service, for every status it may report: what it asks of the
    // service, and the alerts, answered "Open System Settings" or else "Not Now".
    void toggle_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("statusAfter"); // once registered; -1: the service fails
        QTest::addColumn<QString>("done");    // the service's calls, the alerts, the item's check
        const int fails = -1;
        QTest::newRow("enabled") << Enabled << Unregistered << u"unregister|off"_s;
        QTest::newRow("not registered") << Unregistered << Enabled << u"register|on"_s;
        QTest::newRow("not registered, then approval")
            << Unregistered << Approval << u"register|settings|approval|off"_s;
        QTest::newRow("not found") << Missing << Approval << u"register|settings|approval|off"_s;
        QTest::newRow("another number") << 7 << Approval << u"register|off"_s;
        QTest::newRow("requires approval") << Approval << Unregistered << u"approval|off"_s;
        QTest::newRow("failed unregister") << Enabled << fails << u"unregister|failure|on"_s;
        QTest::newRow("failed register") << Unregistered << fails << u"register|failure|off"_s;
    }
    void toggle()
    {
        QFETCH(int, status);
        QFETCH(int, statusAfter);
        QFETCH(QString, done);
        TestAccount account;
        account.loginItems.currentStatus = status;
        account.loginItems.statusAfter = statusAfter;
        if (statusAfter < 0)
            account.loginItems.failure = u"Permission denied"_s;
        account.alerts.answers.enqueue(status == LoginItemService::RequiresApproval);
        auto controller = account.makeController();
        controller->buildStatusMenu();
        controller->toggleStartAtLogin();
        QStringList asked = account.loginItems.calls;
        for (const AlertRequest& alert : account.alerts.shown) {
            const bool approval = alert.style == AlertRequest::Style::Informational;
            asked << (approval ? u"approval"_s : u"failure"_s);
            QCOMPARE(alert.title + u'|' + alert.informativeText + u'|' + alert.buttons.join(u'|'),
                     approval ? u"Approve Start at Login|Allow Tarvessa Audio Server in your "
                                "desktop's Startup Applications settings so your server can "
                                "start automatically after you sign in.|Open System "
                                "Settings|Not Now"_s
                              : u"Start at Login Could Not Be Changed|Permission denied|OK"_s);
        }
        asked << (controller->startAtLoginMenuItem->isChecked() ? u"on"_s : u"off"_s);
        QCOMPARE(asked.join(u'|'), done);
    }
};

QTEST_MAIN(AutostartTest)
#include "tst_autostart.moc"
