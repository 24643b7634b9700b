// The server log's rotation and launch header, and the environment the server is given.
#include "foundation_helpers.h"
#include "runtime/server_log.h"

#include <QRegularExpression>
#include <QScopeGuard>

#include <ctime>
#include <fcntl.h>

using namespace foundation;

namespace {
const QDateTime launchTime(QDate(2026, 12, 5), QTime(18, 4, 8, 750), Qt::UTC);
}

class LogAndEnvironmentTest : public QObject
{
    Q_OBJECT

private slots:
    void rotation_data()
    {
        QTest::addColumn<qint64>("size"); // -1: no server.log yet
        QTest::addColumn<bool>("hasPrevious");
        QTest::addColumn<bool>("rotated");
        QTest::newRow("no log yet") << qint64(-1) << false << false;
        QTest::newRow("small") << qint64(120) << true << false;
        QTest::newRow("exactly the limit") << qint64(10'485'760) << true << false;
        QTest::newRow("one byte over, older previous") << qint64(10'485'761) << true << true;
        QTest::newRow("over, no previous") << qint64(10'485'761) << false << true;
    }

    void rotation()
    {
        QFETCH(qint64, size);
        QFETCH(bool, hasPrevious);
        QFETCH(bool, rotated);
        TestAccount account;
        const QString log = account.path(QStringLiteral("server.log"));
        const QString previous = account.path(QStringLiteral("server.previous.log"));
        const QByteArray earlier = size < 0 ? QByteArray() : QByteArray(size - 4, 'x') + "end\n";
        QVERIFY(size < 0 || writeFile(log, earlier));
        QVERIFY(!hasPrevious || writeFile(previous, "older run\n"));

        auto opened = openServerLog(log, previous, launchTime);
        QVERIFY2(opened.ok(), qPrintable(opened.ok() ? QString() : opened.error().description));
        const QByteArray header = launchHeader(launchTime);
        QVERIFY(header.startsWith('\n'));
        // Plain comparisons: a failure must not print ten megabytes.
        QVERIFY(readAll(log) == (rotated ? header : earlier + header));
        QVERIFY(readAll(previous) ==
                (rotated ? earlier : QByteArray(hasPrevious ? "older run\n" : "")));
        QCOMPARE(QFileInfo::exists(previous), rotated || hasPrevious);
    }

    void secondStartAppends()
    {
        Fixture f;
        QVERIFY(!f->createRuntimeDirectories());
        const QString log = f.log + QStringLiteral("/server.log");
        QVERIFY(writeFile(log, "earlier\n"));
        auto first = f->openLogHandle();
        QVERIFY(first.ok());
        QCOMPARE(::write(first.value().fd(), "first run\n", 10), ssize_t(10));
        first.value().flushAndClose();
        QVERIFY(f->openLogHandle().ok());

        QString text = QString::fromUtf8(readAll(log));
        text.replace(QRegularExpression(QStringLiteral("launch \\S+ ---")),
                     QStringLiteral("launch T ---"));
        const QString header = QStringLiteral("\n--- Tarvessa Audio Server launch T ---\n");
        QCOMPARE(text,
                 QStringLiteral("earlier\n") + header + QStringLiteral("first run\n") + header);
    }

    void headerInUtc()
    {
        const QByteArray oldZone = qgetenv("TZ");
        qputenv("TZ", "Pacific/Auckland"); // 13 hours ahead of UTC in December
        ::tzset();
        const auto restore = qScopeGuard([&] {
            oldZone.isNull() ? qunsetenv("TZ") : qputenv("TZ", oldZone);
            ::tzset();
        });
        const QByteArray expected("\n--- Tarvessa Audio Server launch 2026-12-05T18:04:08Z ---\n");
        QCOMPARE(launchHeader(launchTime), expected);
        QCOMPARE(launchHeader(QDateTime(QDate(2026, 12, 6), QTime(7, 4, 8, 999), Qt::LocalTime)),
                 expected);

        Fixture f; // and a real start, now
        QVERIFY(!f->createRuntimeDirectories());
        auto opened = f->openLogHandle();
        QVERIFY(opened.ok());
        const QString header = QString::fromUtf8(readAll(f.log + QStringLiteral("/server.log")));
        static const QRegularExpression pattern(QStringLiteral(
            R"(^\n--- Tarvessa Audio Server launch \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ ---\n$)"));
        QVERIFY2(pattern.match(header).hasMatch(), qPrintable(header));
        const QDateTime stamp = QDateTime::fromString(header.mid(34, 20), Qt::ISODate);
        QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTimeUtc())) < 600);
        // The server writes through it at the end, and no other child inherits it.
        QCOMPARE(::fcntl(opened.value().fd(), F_GETFL) & (O_ACCMODE | O_APPEND),
                 O_WRONLY | O_APPEND);
        QVERIFY(::fcntl(opened.value().fd(), F_GETFD) & FD_CLOEXEC);
    }

    void environment_data()
    {
        QTest::addColumn<QString>("path"); // inherited; null: absent
        QTest::addColumn<QString>("writeBack");
        QTest::addColumn<QString>("searchPath"); // what follows the helpers folder
        QTest::addColumn<QString>("writeBackGiven");
        const QString system = QStringLiteral("/usr/bin:/bin:/usr/sbin:/sbin");
        const QString twoEntries = QStringLiteral("/opt/local/bin:/usr/bin");
        QTest::newRow("PATH of two entries, write-back false")
            << twoEntries << QStringLiteral("false") << twoEntries << QStringLiteral("false");
        QTest::newRow("both empty")
            << QStringLiteral("") << QStringLiteral("") << system << QStringLiteral("");
        QTest::newRow("both absent") << QString() << QString() << system << QStringLiteral("true");
    }

    void environment()
    {
        QFETCH(QString, path);
        QFETCH(QString, writeBack);
        QFETCH(QString, searchPath);
        QFETCH(QString, writeBackGiven);
        Fixture f;
        f.info = QByteArrayLiteral(R"({"TarvessaServerPort": 3210})");
        QProcessEnvironment& inherited = f.account.environment;
        inherited.remove(QStringLiteral("PATH"));
        if (!path.isNull())
            inherited.insert(QStringLiteral("PATH"), path);
        if (!writeBack.isNull())
            inherited.insert(QStringLiteral("QUARLE_WRITE_BACK_ENABLED"), writeBack);
        for (const char* name : {"NODE_ENV", "PORT", "TMPDIR", "QUARLE_DB_PATH", "LC_TIME"})
            inherited.insert(QLatin1String(name), QStringLiteral("inherited"));
        const QString data = f.data + QLatin1Char('/');
        const QString helpers = f.account.bundle() + QStringLiteral("/Resources/helpers/");
        const std::pair<const char*, QString> expected[] = {
            {"NODE_ENV", QStringLiteral("production")},
            {"PORT", QStringLiteral("3210")},
            {"QUARLE_APP_MODE", QStringLiteral("quarle")},
            {"QUARLE_SECURE_COOKIES", QStringLiteral("auto")},
            {"QUARLE_WRITE_BACK_ENABLED", writeBackGiven},
            {"QUARLE_DB_PATH", data + QStringLiteral("quarle.sqlite")},
            {"QUARLE_ARTWORK_CACHE_DIR", data + QStringLiteral("artwork-cache")},
            {"QUARLE_STREAMING_DERIVATIVE_DIR", data + QStringLiteral("streaming-cache")},
            {"QUARLE_TAG_WRITER_BIN", helpers + QStringLiteral("quarle-tag-writer")},
            {"QUARLE_FOLDER_PICKER_BIN", helpers + QStringLiteral("TarvessaFolderPicker")},
            {"QUARLE_MANAGED_CADDY_BIN", helpers + QStringLiteral("caddy")},
            {"QUARLE_MANAGED_CADDY_DIR", data + QStringLiteral("managed-caddy")},
            {"QUARLE_MANAGED_CADDY_RUNTIME_DIR", f.caddy},
            {"QUARLE_EXTERNAL_PROXY_CONFIG_PATH", data + QStringLiteral("external-proxy.json")},
            {"TMPDIR", f.cache},
            {"PATH", helpers.chopped(1) + QLatin1Char(':') + searchPath}};
        const QProcessEnvironment environment = f->serverEnvironment();
        QProcessEnvironment rest = environment, passed = inherited;
        for (const auto& [name, value] : expected) {
            QVERIFY2(environment.contains(QLatin1String(name)), name);
            QCOMPARE(environment.value(QLatin1String(name)), value);
            rest.remove(QLatin1String(name));
            passed.remove(QLatin1String(name));
        }
        // Everything else inherited passes unchanged, and nothing more is added.
        QCOMPARE(rest.value(QStringLiteral("LC_TIME")), QStringLiteral("inherited"));
        QCOMPARE(rest.toStringList(), passed.toStringList());
    }
};

QTEST_MAIN(LogAndEnvironmentTest)
#include "tst_log_and_environment.moc"
