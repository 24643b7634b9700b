// How the legacy folders move and how the server's folders are made.
#include "foundation_helpers.h"

using namespace foundation;

class FoldersTest : public QObject
{
    Q_OBJECT

private slots:
    void freshAccount()
    {
        Fixture f;
        QCOMPARE(f->managedCaddyRuntimeURL(), QUrl::fromLocalFile(f.caddy));
        QCOMPARE(f->serverLogURL(), QUrl::fromLocalFile(f.log + QStringLiteral("/server.log")));
        for (int start = 0; start < 2; ++start) { // a second start repeats it all without error
            QVERIFY(!f->migrateLegacyRuntimeDirectoriesIfNeeded());
            const FileResult created = f->createRuntimeDirectories();
            QVERIFY2(!created, qPrintable(created ? created->description : QString()));
            for (const QString& folder : f.folders())
                QVERIFY2(QFileInfo(folder).isDir(), qPrintable(folder));
            QCOMPARE(modeOf(f.caddy), 0700);
            // Left wider in between, it is made private again.
            QVERIFY(::chmod(QFile::encodeName(f.caddy).constData(), 0755) == 0);
        }
    }

    void legacyFolders_data()
    {
        QTest::addColumn<int>("blocked"); // the pair whose new folder exists already
        QTest::newRow("all three move") << -1;
        QTest::newRow("data folder exists") << 0;
        QTest::newRow("cache folder exists") << 1;
        QTest::newRow("log folder exists") << 2;
    }

    void legacyFolders()
    {
        QFETCH(int, blocked);
        Fixture f;
        const QString from[] = {f.home + QStringLiteral(".local/share/Quarle Server"),
                                f.home + QStringLiteral(".cache/io.quarle.quarle-server"),
                                f.home + QStringLiteral(".local/state/Quarle Server")};
        const QString to[] = {f.data, f.cache, f.log};
        for (const QString& legacy : from)
            QVERIFY(writeFile(legacy + QStringLiteral("/nested/old.txt"), legacy.toUtf8()));
        if (blocked >= 0) // even an empty new folder blocks its pair: the two are never merged
            QVERIFY(QDir().mkpath(to[blocked]));

        for (int start = 0; start < 2; ++start) {
            QVERIFY(!f->migrateLegacyRuntimeDirectoriesIfNeeded());
            for (int i = 0; i < 3; ++i) {
                const bool moves = i != blocked;
                QCOMPARE(readAll((moves ? to[i] : from[i]) + QStringLiteral("/nested/old.txt")),
                         from[i].toUtf8());
                QVERIFY(!QFileInfo::exists(moves ? from[i] : to[i] + QStringLiteral("/nested")));
            }
        }
    }

    void fileInPlaceOfFolder_data()
    {
        QTest::addColumn<int>("occupied");
        const char* names[] = {
            "data", "artwork cache", "managed Caddy", "streaming cache", "Caddy runtime", "cache",
            "log"};
        for (int i = 0; i < 7; ++i)
            QTest::newRow(names[i]) << i;
    }

    void fileInPlaceOfFolder()
    {
        QFETCH(int, occupied);
        Fixture f;
        const QStringList folders = f.folders();
        QVERIFY(writeFile(folders[occupied], "not a folder"));
        const FileResult result = f->createRuntimeDirectories();
        QVERIFY(result);
        QVERIFY2(result->description.contains(folders[occupied]), qPrintable(result->description));
        QCOMPARE(readAll(folders[occupied]), QByteArray("not a folder"));
        for (int i = 0; i < 7; ++i) // the folders before it are made, none after it
            if (i != occupied && !folders[i].startsWith(folders[occupied] + QLatin1Char('/')))
                QVERIFY2(QFileInfo(folders[i]).isDir() == (i < occupied), qPrintable(folders[i]));
    }

    void caddyFolderRefused_data()
    {
        QTest::addColumn<QString>("occupant");
        QTest::addColumn<QString>("reason");
        QTest::newRow("link to a folder")
            << QStringLiteral("link") << QStringLiteral("symbolic link");
        QTest::newRow("dangling link")
            << QStringLiteral("dangling") << QStringLiteral("symbolic link");
        QTest::newRow("another user's folder")
            << QStringLiteral("other") << QStringLiteral("another user");
    }

    void caddyFolderRefused()
    {
        QFETCH(QString, occupant);
        QFETCH(QString, reason);
        Fixture f;
        // A link's target, or the other user's folder, keeps its permissions.
        const QString kept = occupant == QStringLiteral("other") ? f.caddy : f.account.root();
        QVERIFY(QDir().mkpath(kept) && ::chmod(QFile::encodeName(kept).constData(), 0755) == 0);
        if (occupant != QStringLiteral("other"))
            QVERIFY(QFile::link(
                occupant == QStringLiteral("link") ? kept : f.home + QStringLiteral("gone"),
                f.caddy));
        else if (::chown(QFile::encodeName(kept).constData(), ::getuid() ? 0 : 65534, -1) != 0)
            QSKIP("handing a folder to another user needs root");
        const FileResult result = f->createRuntimeDirectories();
        QVERIFY(result);
        QVERIFY2(result->description.contains(reason), qPrintable(result->description));
        QCOMPARE(modeOf(kept), 0755);
        QVERIFY(!QFileInfo::exists(f.log));
    }
};

QTEST_MAIN(FoldersTest)
#include "tst_folders.moc"
