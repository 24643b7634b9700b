// The controller's foundation: the configured port, the status menu in every state, the launch
// error alert and the folder actions, the server's folders and log, and its environment.
#include "controller/port_choice.h"
#include "runtime/server_log.h"
#include "runtime/server_process.h"
#include "test_account.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>

#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The permission bits of the item itself, not of a link's target; -1 when nothing is there.
int modeOf(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777)
                                                                    : -1;
}

// A fresh account and its controller with the menu built, made at first use so that a test can
// set the account's environment or Info.json first. The places are spelled out here rather than
// asked of the code under test.
struct Fixture
{
    TestAccount account;
    QByteArray info = "{}"_ba; // null: the bundle has no Info.json
    std::unique_ptr<TarvessaAudioServerAppDelegate> controller;
    const QString home = account.home() + u'/';
    const QString data = home + u".local/share/Tarvessa Audio Server"_s;
    const QString cache = home + u".cache/io.tarvessa.tarvessa-audio-server"_s;
    const QString log = home + u".local/state/Tarvessa Audio Server"_s;
    const QString caddy = account.sharedTemp() + u"/tarvessa-caddy-%1"_s.arg(::getuid());
    // The server's folders, in the order they are made.
    const QStringList folders = {data,
                                 data + u"/artwork-cache"_s,
                                 data + u"/managed-caddy"_s,
                                 data + u"/streaming-cache"_s,
                                 caddy,
                                 cache,
                                 log};

    TarvessaAudioServerAppDelegate* operator->()
    {
        if (!controller) {
            if (!info.isNull())
                account.writeInfoJson(info);
            controller = account.makeController();
            controller->buildStatusMenu();
        }
        return controller.get();
    }
};

} // namespace

class FoundationTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TZ", "Pacific/Auckland"); // the log's header must not follow the local zone
        ::tzset();
    }

    void port_data()
    {
        QTest::addColumn<QByteArray>("info"); // null: no Info.json at all
        QTest::addColumn<qint64>("port");
        QTest::addColumn<bool>("problem");
        const auto row = [](const char* tag, const char* info, qint64 port, bool problem) {
            QTest::newRow(tag) << (info ? QByteArray(info) : QByteArray()) << port << problem;
        };
        row("no Info.json", nullptr, 2104, true);
        row("both keys", R"({"QuarleServerPort": 4000, "TarvessaServerPort": 3000})", 3000, false);
        row("text", R"({"TarvessaServerPort": "3000", "QuarleServerPort": 4000})", 4000, true);
        row("not JSON", R"({"TarvessaServerPort": 3000)", 2104, true);
        row("an array", "[3000]", 2104, true);
        row("70000", R"({"TarvessaServerPort": 70000, "QuarleServerPort": 4000})", 4000, true);
    }

    void port()
    {
        QFETCH(QByteArray, info);
        QFETCH(qint64, port);
        QFETCH(bool, problem);
        Fixture f;
        f.info = info;
        QCOMPARE(f->serverURL, QUrl(u"http://127.0.0.1:%1"_s.arg(port)));
        QCOMPARE(choosePortFromFile(f.account.folders().infoJsonPath()).problem.isEmpty(),
                 !problem);
    }

    void menuEntriesAndFolderActions()
    {
        Fixture f;
        const QList<QAction*> items = f->statusMenu()->actions();
        // Each entry as "title|shortcut", "(off)" marking a disabled one, "-" a separator.
        QStringList shown;
        for (const QAction* item : items)
            shown << (item->isSeparator() ? u"-"_s
                                          : item->text() + u'|' + item->shortcut().toString() +
                                                (item->isEnabled() ? ""_L1 : "(off)"_L1));
        QCOMPARE(shown.join(u';'),
                 u"Open Tarvessa Audio Server|Ctrl+O;Server stopped|(off);http://127.0.0.1:2104|;-;"
                 "Start Server|;Restart Server|Ctrl+R;-;Start at Login|;-;"
                 "Show Data Folder|;Show Server Log|Ctrl+L;-;Quit Tarvessa Audio Server|Ctrl+Q"_s);
        QCOMPARE((QList<QAction*>{f->statusMenuItem, f->addressMenuItem, f->toggleServerMenuItem,
                                  f->restartServerMenuItem, f->startAtLoginMenuItem}),
                 (QList<QAction*>{items[1], items[2], items[4], items[5], items[7]}));
        const auto trigger = [&](const QString& title) {
            for (QAction* item : items)
                if (item->text() == title)
                    return item->trigger();
            QFAIL(qPrintable(u"no entry "_s + title));
        };

        // The address entry copies exactly the address it shows.
        trigger(u"http://127.0.0.1:2104"_s);
        QCOMPARE(f.account.clipboard.texts, QStringList{u"http://127.0.0.1:2104"_s});
        // On a fresh account the folder items make their folder, empty, and open it.
        trigger(u"Show Data Folder"_s);
        trigger(u"Show Server Log"_s);
        trigger(u"Quit Tarvessa Audio Server"_s);
        QCOMPARE(f.account.workspace.openedFolders, (QStringList{f.data, f.log}));
        QVERIFY(QFileInfo(f.data).isDir() && QFileInfo(f.log).isDir());
        QVERIFY(QDir(f.data).isEmpty() && QDir(f.log).isEmpty()); // showing never makes the log
        QCOMPARE(f.account.quitRequests, 1);
        QVERIFY(writeFile(f.log + u"/server.log"_s, "a run\n"));
        trigger(u"Show Server Log"_s); // a log, once there is one, is revealed instead
        QCOMPARE(f.account.workspace.revealedFiles, QStringList{f.log + u"/server.log"_s});
        QVERIFY(f.account.alerts.shown.isEmpty());
    }

    void serverStatesAndIcons()
    {
        Fixture f;
        f->attachStatusItem();
        const QString failure = u"Server exited with status 1 \u00e9 "_s + QString(400, u'x') +
                                u". Check the server log for details."_s;
        // The status line, the start/stop item's title, and whether it and restart are enabled;
        // each state follows one with other flags.
        const std::pair<ServerState, QString> rows[] = {
            {ServerState::running(), u"Server running|Stop Server|on|on"_s},
            {ServerState::running(),
             u"Server running (external)|Server Managed Externally|off|off"_s},
            {ServerState::failed(failure), failure + u"|Start Server|on|off"_s},
            {ServerState::stopped(), u"Server stopped|Start Server|on|off"_s},
            {ServerState::starting(), u"Server starting\u2026|Stop Server|on|off"_s}};
        const auto on = [](const QAction* item) { return item->isEnabled() ? "on"_L1 : "off"_L1; };
        QList<std::pair<ServerState::Case, QImage>> icons;
        f.account.installRuntime(u"trap 'exit 0' TERM; sleep 300 & wait"_s);
        f->startServer(false); // owned, and never answering
        for (const auto& [state, shown] : rows) {
            f->updateMenu(state);
            QCOMPARE(
                u"%1|%2|%3|%4"_s.arg(f->statusMenuItem->text(), f->toggleServerMenuItem->text(),
                                     on(f->toggleServerMenuItem), on(f->restartServerMenuItem)),
                shown);
            QVERIFY(!f->statusMenuItem->isEnabled());
            // Each kind of state has its own icon: a tenth of the pixels, at least, differ.
            const QImage icon = f->statusItem->icon().pixmap(22, 22).toImage();
            for (const auto& [kind, earlier] : icons) {
                int differing = 0;
                for (int i = 0; i < 22 * 22; ++i)
                    differing += icon.pixel(i % 22, i / 22) != earlier.pixel(i % 22, i / 22);
                QVERIFY2(kind == state.kind() || differing >= 48,
                         qPrintable(f->statusMenuItem->text()));
            }
            icons.append({state.kind(), icon});
            if (f->serverProcess) { // the owned server goes: running is external from now
                f->stopOwnedServer();
                QTRY_VERIFY(!f->serverProcess);
            }
        }
    }

    void launchErrorAlert()
    {
        Fixture f;
        const QString message = u"Server exited with status 1. Check the server log for details."_s;
        f->presentLaunchError(message); // answered with the first button
        QCOMPARE(f->serverState, ServerState::failed(message));
        QCOMPARE(f.account.alerts.shown.size(), 1);
        const AlertRequest alert = f.account.alerts.shown[0];
        QCOMPARE(alert.style, AlertRequest::Style::Warning);
        QCOMPARE(alert.title + u'|' + alert.informativeText, u"Tarvessa Audio Server|"_s + message);
        QCOMPARE(alert.buttons, (QStringList{u"Show Log"_s, u"OK"_s}));
        QCOMPARE(f.account.workspace.openedFolders, QStringList{f.log}); // Show Log
        f->updateMenu(ServerState::stopped());
        f->applicationWillTerminate(); // owns no process: only the quitting flag matters
        f->presentLaunchError(u"later"_s);
        // While quitting the state still follows, but no alert comes, so no log is shown.
        QCOMPARE(f->serverState, ServerState::failed(u"later"_s));
        QCOMPARE(f.account.alerts.shown.size() + f.account.workspace.openedFolders.size(), 2);
    }

    void foldersOnAFreshAccount()
    {
        Fixture f;
        for (int start = 0; start < 2; ++start) { // a second start repeats it all without error
            QVERIFY(!f->migrateLegacyRuntimeDirectoriesIfNeeded());
            QVERIFY(!f->createRuntimeDirectories());
            for (const QString& folder : f.folders)
                QVERIFY2(QFileInfo(folder).isDir(), qPrintable(folder));
            QCOMPARE(modeOf(f.caddy), 0700);
            // Left wider in between, it is made private again.
            QVERIFY(::chmod(QFile::encodeName(f.caddy).constData(), 0755) == 0);
        }
    }

    void legacyFoldersMoveWhole()
    {
        Fixture f;
        const QString from[] = {f.home + u".local/share/Quarle Server"_s,
                                f.home + u".cache/io.quarle.quarle-server"_s,
                                f.home + u".local/state/Quarle Server"_s};
        const QString to[] = {f.data, f.cache, f.log};
        for (const QString& legacy : from)
            QVERIFY(writeFile(legacy + u"/nested/old.txt"_s, legacy.toUtf8()));
        // Even an empty new folder blocks its pair, and only it: the two are never merged.
        QVERIFY(QDir().mkpath(f.cache));
        QVERIFY(!f->migrateLegacyRuntimeDirectoriesIfNeeded());
        for (int i = 0; i < 3; ++i) {
            const bool moves = i != 1;
            QCOMPARE(readAll((moves ? to[i] : from[i]) + u"/nested/old.txt"_s), from[i].toUtf8());
            QVERIFY(!QFileInfo::exists(moves ? from[i] : to[i] + u"/nested"_s));
        }
    }

    void somethingInTheWay_data()
    {
        QTest::addColumn<int>("at"); // in folders
        QTest::newRow("a file at the streaming cache") << 3;
        QTest::newRow("a link at the Caddy runtime folder") << 4;
    }

    void somethingInTheWay()
    {
        QFETCH(int, at);
        Fixture f;
        const QString target = f.account.root(); // a link's target keeps its permissions
        QVERIFY(::chmod(QFile::encodeName(target).constData(), 0755) == 0);
        QVERIFY(at == 4 ? QFile::link(target, f.caddy) : writeFile(f.folders[at], "not a folder"));
        const FileResult result = f->createRuntimeDirectories();
        QVERIFY(result);
        QVERIFY2(result->description.contains(at == 4 ? u"symbolic link"_s : f.folders[at]),
                 qPrintable(result->description));
        QVERIFY(at == 4 ? modeOf(target) == 0755 : readAll(f.folders[at]) == "not a folder");
        for (int i = 0; i < 7; ++i) // the folders before it are made, none after it
            if (i != at)
                QVERIFY2(QFileInfo(f.folders[i]).isDir() == (i < at), qPrintable(f.folders[i]));
    }

    void logRotation_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("hasPrevious");
        QTest::newRow("exactly the limit") << 10'485'760LL << true;
        QTest::newRow("one byte over, older previous") << 10'485'761LL << true;
        QTest::newRow("one byte over, no previous") << 10'485'761LL << false;
    }

    void logRotation()
    {
        QFETCH(qint64, size);
        QFETCH(bool, hasPrevious);
        TestAccount account;
        const QString log = account.path(u"server.log"_s);
        const QString previous = account.path(u"server.previous.log"_s);
        const QByteArray earlier = QByteArray(size - 4, 'x') + "end\n";
        QVERIFY(writeFile(log, earlier));
        QVERIFY(!hasPrevious || writeFile(previous, "older run\n"));
        const QDateTime now(QDate(2026, 12, 6), QTime(7, 4, 8, 999)); // local time, 13 h ahead
        QVERIFY(openServerLog(log, previous, now).ok());
        const QByteArray header("\n--- Tarvessa Audio Server launch 2026-12-05T18:04:08Z ---\n");
        const bool rotated = size > 10'485'760;
        // Plain comparisons: a failure must not print ten megabytes.
        QVERIFY(readAll(log) == (rotated ? header : earlier + header));
        QVERIFY(readAll(previous) == (rotated ? earlier : hasPrevious ? "older run\n"_ba : ""_ba));
        QCOMPARE(QFileInfo::exists(previous), rotated || hasPrevious);
    }

    void environment_data()
    {
        QTest::addColumn<QString>("path"); // inherited; null: absent
        QTest::addColumn<QString>("writeBack");
        QTest::addColumn<QString>("searchPath"); // what follows the helpers folder
        QTest::addColumn<QString>("writeBackGiven");
        const QString system = u"/usr/bin:/bin:/usr/sbin:/sbin"_s;
        const QString two = u"/opt/local/bin:/usr/bin"_s;
        QTest::newRow("both kept") << two << u"false"_s << two << u"false"_s;
        QTest::newRow("both empty") << u""_s << u""_s << system << u""_s;
        QTest::newRow("both absent") << QString() << QString() << system << u"true"_s;
    }

    void environment()
    {
        QFETCH(QString, path);
        QFETCH(QString, writeBack);
        QFETCH(QString, searchPath);
        QFETCH(QString, writeBackGiven);
        Fixture f;
        f.info = R"({"TarvessaServerPort": 3210})"_ba;
        QProcessEnvironment& inherited = f.account.environment;
        inherited.remove(u"PATH"_s);
        if (!path.isNull())
            inherited.insert(u"PATH"_s, path);
        if (!writeBack.isNull())
            inherited.insert(u"QUARLE_WRITE_BACK_ENABLED"_s, writeBack);
        for (const char* name : {"NODE_ENV", "PORT", "TMPDIR", "QUARLE_DB_PATH", "LC_TIME"})
            inherited.insert(QLatin1String(name), u"inherited"_s);
        // These are set or replaced; everything else inherited passes unchanged, LC_TIME too.
        const QString helpers = f.account.bundle() + u"/Resources/helpers"_s;
        const QStringList set =
            u"NODE_ENV=production|PORT=3210|QUARLE_APP_MODE=quarle|QUARLE_SECURE_COOKIES=auto|"
            "QUARLE_WRITE_BACK_ENABLED=%5|QUARLE_DB_PATH=%1/quarle.sqlite|"
            "QUARLE_ARTWORK_CACHE_DIR=%1/artwork-cache|QUARLE_MANAGED_CADDY_DIR=%1/managed-caddy|"
            "QUARLE_STREAMING_DERIVATIVE_DIR=%1/streaming-cache|QUARLE_MANAGED_CADDY_BIN=%2/caddy|"
            "QUARLE_TAG_WRITER_BIN=%2/quarle-tag-writer|QUARLE_MANAGED_CADDY_RUNTIME_DIR=%3|"
            "QUARLE_FOLDER_PICKER_BIN=%2/TarvessaFolderPicker|TMPDIR=%4|PATH=%2:%6|"
            "QUARLE_EXTERNAL_PROXY_CONFIG_PATH=%1/external-proxy.json"_s
                .arg(f.data, helpers, f.caddy, f.cache, writeBackGiven, searchPath)
                .split(u'|');
        QProcessEnvironment expected = inherited;
        for (const QString& variable : set)
            expected.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
        QCOMPARE(f->serverEnvironment().toStringList(), expected.toStringList());
    }
};

QTEST_MAIN(FoundationTest)
#include "tst_foundation.moc"
