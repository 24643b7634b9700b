// The autostart entry on disk: its statuses, registering and removing it, what the desktop's
// validator and our own Exec reading make of it, and which settings page opens.
#include "autostart_fixture.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cstring>

namespace {

QString entryValue(const QByteArray& entry, const char* key)
{
    return DesktopEntry::unescape(DesktopEntry::mainGroup(entry)->value(QString::fromLatin1(key)));
}

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

class AutostartEntry : public QObject
{
    Q_OBJECT

private slots:
    void statusFollowsTheFile_data()
    {
        QTest::addColumn<QByteArray>("contents"); // "+" adds a line to our entry, "-" removes
        QTest::addColumn<int>("status");          // the program
        QTest::newRow("registered") << QByteArray("+") << 1;
        QTest::newRow("hidden by the user") << QByteArray("+Hidden=true") << 2;
        QTest::newRow("switched off by the user")
            << QByteArray("+X-GNOME-Autostart-enabled=false") << 2;
        QTest::newRow("program removed") << QByteArray("-") << 3;
        QTest::newRow("switched off, then program removed") << QByteArray("-Hidden=true") << 2;
        QTest::newRow("by hand, program on PATH")
            << QByteArray("# mine\n[Desktop Entry]\nType = Application\nName[de]=T\n"
                          "Exec=sh -c \"exit 0\" %U\n\n[Desktop Action x]\nExec=nothing\n")
            << 1;
        QTest::newRow("program not on PATH")
            << QByteArray("[Desktop Entry]\nType=Application\nExec=tarvessa-none\n") << 3;
        QTest::newRow("TryExec program missing")
            << QByteArray("[Desktop Entry]\nType=Application\nExec=sh\nTryExec=/none\n") << 3;
        QTest::newRow("no Desktop Entry group")
            << QByteArray("[Other]\nType=Application\nExec=sh\n") << 3;
        QTest::newRow("no Exec") << QByteArray("[Desktop Entry]\nType=Application\n") << 3;
        QTest::newRow("quote left open")
            << QByteArray("[Desktop Entry]\nType=Application\nExec=\"sh\n") << 3;
        QTest::newRow("not an application")
            << QByteArray("[Desktop Entry]\nType=Link\nExec=sh\n") << 3;
        QRandomGenerator random(20240611);
        QByteArray bytes(512, Qt::Uninitialized);
        for (char& byte : bytes)
            byte = static_cast<char>(random.bounded(256));
        QTest::newRow("random bytes") << bytes << 3;
    }

    void statusFollowsTheFile()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, status);
        AutostartAccount setup;
        XdgAutostartService& service = setup.service();
        QCOMPARE(service.status(), LoginItemService::NotRegistered);
        const char first = contents.isEmpty() ? 0 : contents.at(0);
        if (first == '+' || first == '-') {
            contents = setup.entryWith(contents.mid(1));
            if (first == '-')
                QVERIFY(QFile::remove(setup.executable));
        }
        writeFile(service.entryPath(), contents);
        QCOMPARE(service.status(), status);
    }

    void registerWritesAFreshEntry_data()
    {
        QTest::addColumn<QByteArray>("before"); // empty: no file
        QTest::newRow("not registered") << QByteArray();
        QTest::newRow("program moved")
            << QByteArray("[Desktop Entry]\nType=Application\nExec=/old/place/app --autostart\n");
        QTest::newRow("no Desktop Entry group") << QByteArray("[Other]\nExec=sh\n");
        QTest::newRow("random bytes") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe", 20);
    }

    void registerWritesAFreshEntry()
    {
        QFETCH(QByteArray, before);
        AutostartAccount setup;
        XdgAutostartService& service = setup.service();
        if (!before.isEmpty())
            writeFile(service.entryPath(), before);
        QVERIFY_SUCCEEDS(service.registerItem());
        QCOMPARE(service.status(), LoginItemService::Enabled);
        QCOMPARE(readFile(service.entryPath()), service.entryContents());
        // Nothing but the entry is left in the folder: the temporary file was renamed over it.
        QCOMPARE(QDir(service.autostartFolder())
                     .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QFileInfo(service.entryPath()).fileName()});

        QVERIFY_SUCCEEDS(service.unregisterItem());
        QCOMPARE(service.status(), LoginItemService::NotRegistered);
        QVERIFY_SUCCEEDS(service.unregisterItem()); // nothing to remove is no failure
    }

    void failuresCarryTheSystemsText()
    {
        AutostartAccount setup;
        XdgAutostartService& service = setup.service();
        // Tests run as root, so a regular file stands where a folder must go.
        writeFile(service.autostartFolder(), "not a folder");
        QCOMPARE(service.registerItem().value_or(QString()),
                 QStringLiteral("Cannot create the folder %1: %2")
                     .arg(service.autostartFolder(), systemText(EEXIST)));
        QCOMPARE(service.status(), LoginItemService::NotRegistered);

        QVERIFY(QFile::remove(service.autostartFolder()));
        QVERIFY(QDir().mkpath(service.entryPath() + QStringLiteral("/inside")));
        QCOMPARE(service.status(), LoginItemService::NotFound);
        QCOMPARE(
            service.registerItem().value_or(QString()),
            QStringLiteral("Cannot write %1: %2").arg(service.entryPath(), systemText(EISDIR)));
        QVERIFY(service.unregisterItem().value_or(QString()).startsWith(
            QStringLiteral("Cannot remove %1: ").arg(service.entryPath())));
    }

    void awkwardPathsSurviveTheEntry_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("space, quote and percent") << QStringLiteral("My \"Apps\" 100%");
        QTest::newRow("shell characters") << QStringLiteral("$HOME `id` a\\b %%u %f");
        QTest::newRow("leading space, tab, newline") << QStringLiteral(" odd\tname\nhere");
    }

    void awkwardPathsSurviveTheEntry()
    {
        QFETCH(QString, folder);
        AutostartAccount setup(folder + QStringLiteral("/TarvessaAudioServer"));
        XdgAutostartService& service = setup.service();
        QVERIFY_SUCCEEDS(service.registerItem());
        const QByteArray entry = readFile(service.entryPath());
        QCOMPARE(DesktopEntry::splitExec(entryValue(entry, "Exec")).value_or(QStringList()),
                 (QStringList{setup.executable, QStringLiteral("--autostart")}));
        QCOMPARE(entryValue(entry, "TryExec"), setup.executable);
        QCOMPARE(service.status(), LoginItemService::Enabled);
    }

    void desktopFileValidateAcceptsTheEntry()
    {
        const QString validator =
            QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (validator.isEmpty())
            QSKIP("desktop-file-validate is not installed");
        AutostartAccount setup(QStringLiteral("My \"Apps\" 100% $x `y` a\\b/TarvessaAudioServer"));
        QVERIFY_SUCCEEDS(setup.service().registerItem());
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(validator, {setup.service().entryPath()});
        QVERIFY(validate.waitForFinished(30000));
        const QByteArray said = validate.readAll();
        QVERIFY2(validate.exitStatus() == QProcess::NormalExit && validate.exitCode() == 0,
                 said.constData());
        QVERIFY2(said.isEmpty(), said.constData()); // not even a warning or a hint
    }

    void settingsOpenTheDesktopsAutostartPage_data()
    {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QStringList>("started"); // program and arguments; empty: the folder
        const QStringList plasma{QStringLiteral("systemsettings"), QStringLiteral("kcm_autostart")};
        QTest::newRow("Plasma") << QStringLiteral("KDE") << QStringLiteral("systemsettings")
                                << plasma;
        QTest::newRow("GNOME on Ubuntu")
            << QStringLiteral("ubuntu:GNOME") << QStringLiteral("gnome-tweaks")
            << QStringList{QStringLiteral("gnome-tweaks")};
        QTest::newRow("GNOME without Tweaks")
            << QStringLiteral("GNOME") << QStringLiteral("systemsettings") << QStringList();
        QTest::newRow("other desktop")
            << QStringLiteral("XFCE") << QStringLiteral("systemsettings") << QStringList();
    }

    void settingsOpenTheDesktopsAutostartPage()
    {
        QFETCH(QString, desktop);
        QFETCH(QString, installed);
        QFETCH(QStringList, started);
        AutostartAccount setup;
        const QString bin = setup.account.path(QStringLiteral("bin"));
        makeExecutable(bin + QLatin1Char('/') + installed);
        setup.account.environment.insert(QStringLiteral("PATH"), bin);
        setup.account.environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), desktop);
        setup.service().openSettings();
        if (!started.isEmpty())
            started[0] = bin + QLatin1Char('/') + started[0]; // found on the account's PATH
        QCOMPARE(setup.started,
                 started.isEmpty() ? QList<QStringList>() : QList<QStringList>{started});
        const QStringList folder{setup.service().autostartFolder()};
        QCOMPARE(setup.account.workspace.openedFolders, started.isEmpty() ? folder : QStringList());
        QCOMPARE(QFileInfo(folder[0]).isDir(), started.isEmpty()); // created to be shown
    }
};

QTEST_GUILESS_MAIN(AutostartEntry)
#include "tst_autostart_entry.moc"
