// The configured port and address, and the status menu in every state.
#include "controller/port_choice.h"
#include "foundation_helpers.h"
#include "runtime/server_process.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

using namespace foundation;

class PortAndMenuTest : public QObject
{
    Q_OBJECT

private slots:
    void port_data()
    {
        QTest::addColumn<QByteArray>("info"); // null: no Info.json at all
        QTest::addColumn<qint64>("port");
        QTest::addColumn<bool>("problem");
        const auto row = [](const char* tag, const char* info, qint64 port, bool problem) {
            QTest::newRow(tag) << (info ? QByteArray(info) : QByteArray()) << port << problem;
        };
        row("no Info.json", nullptr, 2104, true);
        row("neither key", R"({"Other": 9})", 2104, false);
        row("both keys", R"({"QuarleServerPort": 4000, "TarvessaServerPort": 3000})", 3000, false);
        row("legacy key only", R"({"QuarleServerPort": 4000})", 4000, false);
        row("text", R"({"TarvessaServerPort": "3000", "QuarleServerPort": 4000})", 4000, true);
        row("boolean", R"({"TarvessaServerPort": true, "QuarleServerPort": 4000})", 4000, true);
        row("not JSON", R"({"TarvessaServerPort": 3000)", 2104, true);
        row("an array", "[3000]", 2104, true);
        row("zero", R"({"TarvessaServerPort": 0, "QuarleServerPort": 4000})", 4000, true);
        row("70000", R"({"TarvessaServerPort": 70000, "QuarleServerPort": 4000})", 4000, true);
        row("80.5", R"({"TarvessaServerPort": 80.5, "QuarleServerPort": 4000})", 4000, true);
        row("negative", R"({"TarvessaServerPort": -3000, "QuarleServerPort": 4000})", 4000, true);
        row("out of range, no fallback", R"({"QuarleServerPort": 65536})", 2104, true);
        row("lowest", R"({"TarvessaServerPort": 1})", 1, false);
        row("highest", R"({"QuarleServerPort": 65535})", 65535, false);
    }

    void port()
    {
        QFETCH(QByteArray, info);
        QFETCH(qint64, port);
        QFETCH(bool, problem);
        Fixture f;
        f.info = info;
        const QString address = QStringLiteral("http://127.0.0.1:%1").arg(port);
        QCOMPARE(f->serverPort, port);
        QCOMPARE(f->serverURL, QUrl(address));
        QCOMPARE(f->addressMenuItem->text(), address);
        const PortChoice choice = choosePortFromFile(f.account.folders().infoJsonPath());
        QCOMPARE(choice.port, port);
        QCOMPARE(choice.problem.isEmpty(), !problem);
    }

    void menuEntries()
    {
        Fixture f;
        const QList<QAction*> items = f->statusMenu()->actions();
        // Each entry as "title|shortcut", "(off)" marking a disabled one, "-" a separator.
        const QString expected = QStringLiteral(
            "Open Tarvessa Audio Server|Ctrl+O;Server stopped|(off);http://127.0.0.1:2104|;-;"
            "Start Server|;Restart Server|Ctrl+R;-;Start at Login|;-;"
            "Show Data Folder|;Show Server Log|Ctrl+L;-;Quit Tarvessa Audio Server|Ctrl+Q");
        QStringList shown;
        for (const QAction* item : items)
            shown << (item->isSeparator()
                          ? QStringLiteral("-")
                          : item->text() + QLatin1Char('|') + item->shortcut().toString() +
                                QLatin1String(item->isEnabled() ? "" : "(off)"));
        QCOMPARE(shown, expected.split(QLatin1Char(';')));
        QCOMPARE((QList<QAction*>{f->statusMenuItem, f->addressMenuItem, f->toggleServerMenuItem,
                                  f->restartServerMenuItem, f->startAtLoginMenuItem}),
                 (QList<QAction*>{items[1], items[2], items[4], items[5], items[7]}));
        QVERIFY(f->startAtLoginMenuItem->isCheckable());

        for (int i : {9, 10, 12}) // the folder items and quit reach their actions
            items[i]->trigger();
        QCOMPARE(f.account.workspace.openedFolders, (QStringList{f.data, f.log}));
        QCOMPARE(f.account.quitRequests, 1);
    }

    void serverRows_data()
    {
        // The status line, the start/stop item's title, and whether it and restart are enabled.
        QTest::addColumn<QString>("rows");
        const auto row = [](const char* state, const QString& rows) {
            QTest::newRow(state) << rows;
        };
        row("stopped", QStringLiteral("Server stopped|Start Server|on|off"));
        row("starting", QStringLiteral("Server starting\u2026|Stop Server|on|off"));
        row("running, owned", QStringLiteral("Server running|Stop Server|on|on"));
        row("running, external",
            QStringLiteral("Server running (external)|Server Managed Externally|off|off"));
        row("failed",
            QStringLiteral("Server exited with status 1 \u00e9 ") + QString(400, u'x') +
                QStringLiteral(". Check the server log for details.|Start Server|on|off"));
    }

    void serverRows()
    {
        QFETCH(QString, rows);
        const QLatin1String shown(QTest::currentDataTag());
        Fixture f;
        // Start from the opposite flags, so that every row has to set them.
        f->updateMenu(rows.endsWith(QLatin1String("off|off")) ? ServerState::stopped()
                                                              : ServerState::running());
        if (shown == QLatin1String("running, owned"))
            f->serverProcess = std::make_shared<ServerProcess>(); // owned, never started
        const ServerState state = shown == QLatin1String("stopped")    ? ServerState::stopped()
                                  : shown == QLatin1String("starting") ? ServerState::starting()
                                  : shown == QLatin1String("failed")
                                      ? ServerState::failed(rows.section(u'|', 0, 0))
                                      : ServerState::running();
        f->updateMenu(state);
        QCOMPARE(f->serverState, state);
        const auto on = [](const QAction* item) {
            return QLatin1String(item->isEnabled() ? "on" : "off");
        };
        QCOMPARE(QStringList({f->statusMenuItem->text(), f->toggleServerMenuItem->text(),
                              on(f->toggleServerMenuItem), on(f->restartServerMenuItem)})
                     .join(u'|'),
                 rows);
        QVERIFY(!f->statusMenuItem->isEnabled());
    }

    void iconsDifferForEveryState()
    {
        Fixture f;
        f->attachStatusItem();
        QCOMPARE(f->statusItem->toolTip(), QStringLiteral("Tarvessa Audio Server"));
        QList<QImage> seen;
        for (const ServerState& state : {ServerState::stopped(), ServerState::starting(),
                                         ServerState::running(), ServerState::failed({})}) {
            f->updateMenu(state);
            const QImage image = f->statusItem->icon().pixmap(22, 22).toImage();
            QCOMPARE(image.size(), QSize(22, 22));
            for (const QImage& earlier : seen) { // a tenth of the pixels, at least, differ
                int differing = 0;
                for (int i = 0; i < 22 * 22; ++i)
                    differing += image.pixel(i % 22, i / 22) != earlier.pixel(i % 22, i / 22);
                QVERIFY2(differing >= 48, qPrintable(f->statusMenuItem->text()));
            }
            seen.append(image);
        }
    }

    void openingRefreshesOnlyStartAtLogin()
    {
        Fixture f;
        f->serverProcess = std::make_shared<ServerProcess>();
        f->updateMenu(ServerState::running());
        QCOMPARE(f->statusMenuItem->text(), QStringLiteral("Server running"));
        f->serverProcess.reset(); // the owned process is gone, but only an update shows it
        const std::tuple<int, bool, const char*> logins[] = {
            {LoginItemService::Enabled, true, "Start at Login"},
            {LoginItemService::RequiresApproval, false, "Start at Login (Approval Required)"},
            {LoginItemService::NotRegistered, false, "Start at Login"}};
        for (const auto& [status, checked, title] : logins) {
            f.account.loginItems.currentStatus = status;
            emit f->statusMenu()->aboutToShow();
            QCOMPARE(f->startAtLoginMenuItem->isChecked(), checked);
            QCOMPARE(f->startAtLoginMenuItem->text(), QLatin1String(title));
            QCOMPARE(f->statusMenuItem->text(), QStringLiteral("Server running"));
            QVERIFY(f->restartServerMenuItem->isEnabled());
        }
        QCOMPARE(f.account.loginItems.registerCalls + f.account.loginItems.unregisterCalls, 0);
        f->updateMenu(ServerState::running());
        QCOMPARE(f->statusMenuItem->text(), QStringLiteral("Server running (external)"));
        QCOMPARE(f->toggleServerMenuItem->text(), QStringLiteral("Server Managed Externally"));
        QVERIFY(!f->toggleServerMenuItem->isEnabled() && !f->restartServerMenuItem->isEnabled());
    }
};

QTEST_MAIN(PortAndMenuTest)
#include "tst_port_and_menu.moc"
