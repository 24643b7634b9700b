// Runs the picker's one pass as a separate process and works its real dialog.
#include "picker_process.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

class PickerDrivenTest : public QObject
{
    Q_OBJECT

    static PickerRun drive(const QStringList& arguments)
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return PickerProcess(QStringLiteral(FOLDER_PICKER_DRIVEN), arguments, env).finish();
    }

    static void compareRun(const PickerRun& run, const QByteArray& out, const QByteArray& err,
                           int exitCode)
    {
        QVERIFY(run.exitedNormally);
        QCOMPARE(run.out, out);
        QCOMPARE(run.err, err);
        QCOMPARE(run.exitCode, exitCode);
    }

    QTemporaryDir m_dir;
    QByteArray m_escapedBase; // the canonical temporary folder as it appears in the line

private slots:
    void initTestCase()
    {
        m_escapedBase = QFile::encodeName(QDir(m_dir.path()).canonicalPath()).replace("/", "\\/");
    }

    void cancel()
    {
        compareRun(drive({QStringLiteral("cancel")}), "{\"status\":\"cancelled\"}\n", {}, 2);
    }

    void otherClose()
    {
        compareRun(
            drive({QStringLiteral("close"), QStringLiteral("7")}),
            "{\"status\":\"error\",\"message\":\"The folder picker closed unexpectedly.\"}\n", {},
            1);
    }

    void chooseFolder_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("escaped");
        QTest::newRow("quotes, backslash")
            << QStringLiteral("Live \"B\\W\"") << QByteArray("Live \\\"B\\\\W\\\"");
        QTest::newRow("line feed")
            << QStringLiteral("Side A\nSide B") << QByteArray(R"(Side A\nSide B)");
        QTest::newRow("non-ASCII")
            << QStringLiteral("Sigur Rós – Ágætis") << QByteArray("Sigur Rós – Ágætis");
    }

    void chooseFolder()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, escaped);
        QVERIFY(QDir(m_dir.path()).mkpath(name));
        compareRun(drive({QStringLiteral("choose"), m_dir.path(), name}),
                   "{\"status\":\"selected\",\"path\":\"" + m_escapedBase + "\\/" + escaped +
                       "\"}\n",
                   {}, 0);
    }

    void chooseLinkGivesTarget()
    {
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("Music/Albums")));
        QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("Music/Albums")),
                            m_dir.filePath(QStringLiteral("albums"))));
        compareRun(drive({QStringLiteral("choose"), m_dir.path(), QStringLiteral("albums")}),
                   "{\"status\":\"selected\",\"path\":\"" + m_escapedBase +
                       "\\/Music\\/Albums\"}\n",
                   {}, 0);
    }

    void chooseRoot()
    {
        compareRun(drive({QStringLiteral("choose"), QStringLiteral("/")}),
                   "{\"status\":\"selected\",\"path\":\"\\/\"}\n", {}, 0);
    }

    void nonUtf8FolderFallsBack()
    {
        // Qt does not list such a name at all; a link to it is how it gets chosen.
        const QByteArray target = QFile::encodeName(m_dir.path()) + "/Bj\xf6rk";
        QVERIFY(::mkdir(target.constData(), 0700) == 0);
        // QTemporaryDir cannot name it to remove it.
        const auto removeTarget = qScopeGuard([&] { ::rmdir(target.constData()); });
        const QByteArray link = QFile::encodeName(m_dir.filePath(QStringLiteral("bjork")));
        QVERIFY(::symlink(target.constData(), link.constData()) == 0);
        compareRun(drive({QStringLiteral("choose"), m_dir.path(), QStringLiteral("bjork")}), {},
                   "Unable to encode folder picker result.\n", 1);
    }
};

QTEST_GUILESS_MAIN(PickerDrivenTest)
#include "tst_picker_driven.moc"
