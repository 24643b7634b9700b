// The folder picker as the server runs it: the shipped tool, untouched, always answers with one
// line, or says on standard error why it cannot, here on an Xvfb display where xdotool types as
// a person would; and that line reads back as exactly the chosen path's bytes.
#include "result_encoder.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class FolderPickerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const QByteArray m_notUtf8 = QFile::encodeName(m_dir.path()) + "/Bj\xf6rk";

private slots:
    void cleanupTestCase() { ::rmdir(m_notUtf8.constData()); } // QTemporaryDir cannot name it

    // keys: what xdotool types once the dialog has the focus, or "lose" to end the display then.
    // Without keys, or with "full" (its output going to /dev/full), it runs with no display.
    void alwaysAnswers_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<int>("exitCode");
        const QByteArray closed =
            "{\"status\":\"error\",\"message\":\"The folder picker closed unexpectedly.\"}\n";
        const QString dir = QDir(m_dir.path()).canonicalPath();
        const QString type = u"type --delay 20 --args 1 %1/%2 key Return"_s;
        QVERIFY(QDir(dir).mkpath(u"Sigur Rós"_s));
        QVERIFY(QFile::link(dir + u"/Sigur Rós"_s, dir + u"/link"_s));
        // Qt does not list a name that is not UTF-8; a link to it is how it gets chosen.
        QVERIFY(::mkdir(m_notUtf8.constData(), 0700) == 0);
        QVERIFY(::symlink(m_notUtf8.constData(), QFile::encodeName(dir + u"/bjork"_s)) == 0);
        QTest::newRow("no display") << QString() << closed << QByteArray() << 1;
        QTest::newRow("output full") << u"full"_s << QByteArray()
                                     << "Unable to write folder picker result: No space left on "
                                        "device\n"_ba
                                     << 1;
        QTest::newRow("display lost") << u"lose"_s << closed << QByteArray() << 1;
        QTest::newRow("Escape cancels")
            << u"key Escape"_s << "{\"status\":\"cancelled\"}\n"_ba << QByteArray() << 2;
        QTest::newRow("a typed link gives its target")
            << type.arg(dir, u"link"_s)
            << "{\"status\":\"selected\",\"path\":\"" +
                   (dir + u"/Sigur Rós"_s).toUtf8().replace("/", "\\/") + "\"}\n"
            << QByteArray() << 0;
        QTest::newRow("a name not UTF-8") << type.arg(dir, u"bjork"_s) << QByteArray()
                                          << "Unable to encode folder picker result.\n"_ba << 1;
    }
    void alwaysAnswers()
    {
        QFETCH(QString, keys);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(int, exitCode);
        const bool display = !keys.isEmpty() && keys != u"full"_s;
        if (display && QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
            QSKIP("Needs Xvfb and xdotool (Debian packages xvfb and xdotool)");
        QTemporaryDir config; // where Qt's dialog remembers the last folder
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_CONFIG_HOME"_s, config.path());
        env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        env.remove(u"DISPLAY"_s);
        env.remove(u"WAYLAND_DISPLAY"_s);
        QProcess xvfb, picker, xdotool; // each killed as it goes, should a check fail
        if (display) {
            // -displayfd picks a free display and reports its number once clients can connect.
            xvfb.start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s});
            QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine(), 10000);
            env.insert(u"DISPLAY"_s, u':' + QString::fromLatin1(xvfb.readLine().trimmed()));
        }
        picker.setProcessEnvironment(env);
        if (keys == u"full"_s)
            picker.setStandardOutputFile(u"/dev/full"_s);
        picker.start(QStringLiteral(FOLDER_PICKER_TOOL));
        if (display) {
            // Typed once the dialog is mapped and has the focus.
            xdotool.setProcessEnvironment(env);
            xdotool.start(u"xdotool"_s,
                          (u"search --sync --onlyvisible --name ^Choose.Music.Folder$ windowfocus "
                           "--sync "_s +
                           (keys == u"lose"_s ? QString() : keys))
                              .split(u' ', Qt::SkipEmptyParts));
            QVERIFY(xdotool.waitForFinished(20000) && xdotool.exitCode() == 0);
            if (keys == u"lose"_s)
                xvfb.kill();
        }
        QVERIFY(picker.waitForFinished(20000));
        QCOMPARE(picker.exitStatus(), QProcess::NormalExit);
        QCOMPARE(picker.readAllStandardOutput(), out);
        QCOMPARE(picker.readAllStandardError(), err);
        QCOMPARE(picker.exitCode(), exitCode);
        xvfb.terminate();
        xvfb.waitForFinished();
    }

    // Any chosen path's bytes, mostly ones JSON escapes and UTF-8 sequences good and bad: one
    // line that reads back as exactly those bytes, or nothing for bytes that are not UTF-8.
    void resultReadsBackAsThePath()
    {
        const QList<QByteArray> pieces =
            QByteArrayLiteral("/|\"|\\|\b|\f|\n|\r|\t|\0|\x1f|\x7f|a| |\xc3\xa9|\xe2\x82\xac|"
                              "\xf0\x9f\x8e\xb5|\xef\xbb\xbf|\xef\xbf\xbe|\xc0\xaf|\xed\xa0\x80|"
                              "\xf4\x90\x80\x80|\xe2\x82|\x80")
                .split('|');
        QRandomGenerator random(7151);
        for (int i = 0; i < 20'000; ++i) {
            QByteArray path("/"); // absolute, as every chosen folder is
            for (int count = random.bounded(24); count > 0; --count)
                path += random.bounded(4) ? pieces.at(random.bounded(int(pieces.size())))
                                          : QByteArray(1, char(random.bounded(256)));
            const auto line = encodePickerResult(PickerStatus::Selected, path, std::nullopt);
            QStringDecoder strict(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString text = strict(path); // incomplete at the end is an error too
            const QJsonObject read = QJsonDocument::fromJson(line.value_or("")).object();
            QVERIFY2(strict.hasError() ? !line
                                       : line && !line->contains('\n') && read.size() == 2 &&
                                             read[u"status"_s] == u"selected"_s &&
                                             read[u"path"_s].toString() == text,
                     path.toHex().constData());
        }
    }
};

QTEST_GUILESS_MAIN(FolderPickerTest)
#include "tst_folder_picker.moc"
