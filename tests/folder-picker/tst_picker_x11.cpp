// The shipped TarvessaFolderPicker, untouched, on a real X server: keys are typed from outside
// with xdotool as a person would type them.
#include "picker_process.h"

#include <QDir>
#include <QStandardPaths>
#include <QTest>

static QStringList words(const char* text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '));
}

class PickerX11Test : public QObject
{
    Q_OBJECT

    QProcess m_xvfb;
    QString m_display;

    // Starts the tool, then runs xdotool once per step, the first after its window is mapped
    // and focused.
    PickerRun runWithKeys(const QList<QStringList>& steps)
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        PickerProcess picker(QStringLiteral(FOLDER_PICKER_TOOL), {}, env);
        QStringList findWindow = words("search --sync --onlyvisible --name");
        findWindow << QStringLiteral("^Choose Music Folder$") << words("windowfocus --sync");
        for (qsizetype i = 0; i < steps.size(); ++i) {
            QProcess xdotool;
            xdotool.setProcessEnvironment(env);
            xdotool.start(QStringLiteral("xdotool"),
                          (i == 0 ? findWindow : QStringList()) + steps[i]);
            if (!xdotool.waitForFinished(10000))
                xdotool.kill();
            xdotool.waitForFinished();
        }
        return picker.finish();
    }

private slots:
    void initTestCase()
    {
        for (const char* tool : {"Xvfb", "xdotool"}) {
            if (QStandardPaths::findExecutable(QString::fromUtf8(tool)).isEmpty())
                QSKIP("Needs Xvfb and xdotool (Debian packages xvfb and xdotool)");
        }
        // -displayfd picks a free display and reports its number once clients can connect.
        m_xvfb.start(QStringLiteral("Xvfb"),
                     words("-displayfd 1 -nolisten tcp -screen 0 1024x768x24"));
        QTRY_VERIFY_WITH_TIMEOUT(m_xvfb.canReadLine() || m_xvfb.state() == QProcess::NotRunning,
                                 10000);
        m_display = QLatin1Char(':') + QString::fromLatin1(m_xvfb.readLine().trimmed());
        QVERIFY2(m_display.size() > 1, "Xvfb did not start");
    }

    void cleanupTestCase()
    {
        m_xvfb.terminate();
        if (!m_xvfb.waitForFinished(5000))
            m_xvfb.kill();
        m_xvfb.waitForFinished();
    }

    void escapeCancels()
    {
        const auto run = runWithKeys({words("key Escape")});
        QVERIFY(run.exitedNormally);
        QCOMPARE(run.out, "{\"status\":\"cancelled\"}\n");
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.exitCode, 2);
    }

    void typedFolderIsChosen()
    {
        QTemporaryDir dir;
        const QString folder =
            QDir(dir.path()).canonicalPath() + QStringLiteral("/Live at the Forum (1977)");
        QVERIFY(QDir().mkpath(folder));
        const auto run = runWithKeys({words("type --delay 20") << folder, words("key Return")});
        QVERIFY(run.exitedNormally);
        QCOMPARE(run.out, "{\"status\":\"selected\",\"path\":\"" +
                              folder.toUtf8().replace("/", "\\/") + "\"}\n");
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.exitCode, 0);
    }
};

QTEST_GUILESS_MAIN(PickerX11Test)
#include "tst_picker_x11.moc"
