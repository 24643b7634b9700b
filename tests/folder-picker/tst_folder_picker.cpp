// The folder picker: its result line byte for byte, the outcomes only a unit test reaches and
// the dialog's set-up; then the picker as a process of its own, its driven twin working the real
// dialog offscreen, and the shipped tool, untouched, on an Xvfb display where xdotool types as a
// person would.
#include "folder_dialog.h"
#include "result_encoder.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

static QStringList words(const char* text)
{
    return QString::fromUtf8(text).split(u' ');
}

class FolderPickerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const QByteArray m_notUtf8 = QFile::encodeName(m_dir.path()) + "/Bj\xf6rk";
    const QByteArray m_selected = "{\"status\":\"selected\",\"path\":\"" +
                                  QFile::encodeName(QDir(m_dir.path()).canonicalPath());
    QProcess m_xvfb;
    QString m_display;

    // Runs a picker with a home of its own (Qt's dialog remembers the last folder there) and
    // checks what it wrote and how it ended against the row's out, err and exitCode. With
    // xdotool steps it runs on Xvfb, each step typed in turn; otherwise offscreen. A process
    // still running at a deadline is killed as its QProcess goes.
    void run(const QString& program, const QStringList& args, const QList<QStringList>& steps)
    {
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(int, exitCode);
        QTemporaryDir home;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, home.path());
        env.insert(u"XDG_CONFIG_HOME"_s, home.path());
        env.insert(u"QT_QPA_PLATFORM"_s, steps.isEmpty() ? u"offscreen"_s : u"xcb"_s);
        env.insert(u"DISPLAY"_s, m_display);
        QProcess picker;
        picker.setProcessEnvironment(env);
        picker.start(program, args);
        for (const QStringList& step : steps) {
            QProcess xdotool;
            xdotool.setProcessEnvironment(env);
            xdotool.start(u"xdotool"_s, step);
            xdotool.waitForFinished(10000);
        }
        QVERIFY(picker.waitForFinished(20000) && picker.exitStatus() == QProcess::NormalExit);
        QCOMPARE(picker.readAllStandardOutput(), out);
        QCOMPARE(picker.readAllStandardError(), err);
        QCOMPARE(picker.exitCode(), exitCode);
    }

    static void columns(const char* input)
    {
        QTest::addColumn<QStringList>(input);
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<int>("exitCode");
    }

    static void row(const char* tag, const QStringList& input, QByteArray out, int exitCode)
    {
        QTest::newRow(tag) << input << out.replace("/", "\\/") + '\n' << QByteArray() << exitCode;
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty() ||
            QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
            return;
        // -displayfd picks a free display and reports its number once clients can connect.
        m_xvfb.start(u"Xvfb"_s, words("-displayfd 1 -nolisten tcp -screen 0 1024x768x24"));
        QTRY_VERIFY_WITH_TIMEOUT(m_xvfb.canReadLine() || m_xvfb.state() == QProcess::NotRunning,
                                 10000);
        m_display = u':' + QString::fromLatin1(m_xvfb.readLine().trimmed());
        QVERIFY(m_display.size() > 1);
    }

    void cleanupTestCase()
    {
        ::rmdir(m_notUtf8.constData()); // QTemporaryDir cannot name it to remove it
        m_xvfb.terminate();             // killed by its QProcess if it does not end
        m_xvfb.waitForFinished();
    }

    void pathBytesAndRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("escaped");
        const auto bytes = [](const char* tag, const char* path, const char* escaped) {
            QTest::newRow(tag) << QByteArray(path) << QByteArray(escaped);
        };
        bytes("line feed, quote, backslash", "/m/a\nb\"x\\y", R"x(\/m\/a\nb\"x\\y)x");
        bytes("non-ASCII stays UTF-8", "/m/Björk 🎵", R"(\/m\/Björk 🎵)");
        bytes("slash heavy", "//a///b/./c//", R"(\/\/a\/\/\/b\/.\/c\/\/)");
        bytes("controls", "\t\r\b\f\x01\x1f\x7f", "\\t\\r\\b\\f\\u0001\\u001f\x7f");
    }
    void pathBytesAndRoundTrip()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, escaped);
        const auto encoded = encodePickerResult(PickerStatus::Selected, path, {});
        QCOMPARE(encoded.value_or("refused"),
                 "{\"status\":\"selected\",\"path\":\"" + escaped + "\"}");
        QCOMPARE(QJsonDocument::fromJson(*encoded).object(),
                 QJsonObject({{u"status"_s, u"selected"_s}, {u"path"_s, QString::fromUtf8(path)}}));
    }

    // Chosen, yet not a folder of this computer (what the dialog itself gives is run for real).
    void notLocalFolder()
    {
        for (const auto& url : QList<std::optional<QUrl>>{std::nullopt, QUrl(u"smb://nas/music"_s),
                                                          QUrl::fromLocalFile(u"/no/such/folder"_s),
                                                          QUrl(u"file:///tmp%00/x"_s)})
            QCOMPARE(mapDialogOutcome(QDialog::Accepted, url).message,
                     u"The selected item is not a local or mounted directory."_s);
    }

    // What Qt's dialog does not give by itself: the message above the list, no new-folder
    // button, the accept label, and only the visible folders listed.
    void dialogSetUp()
    {
        QTemporaryDir dir;
        QDir(dir.path()).mkpath(u"Albums"_s);
        QDir(dir.path()).mkpath(u".cache"_s);
        QFile(dir.filePath(u"song.flac"_s)).open(QIODevice::WriteOnly);
        QFileDialog dialog;
        configureFolderDialog(dialog);
        dialog.setDirectory(dir.path());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* message = dialog.findChild<QLabel*>(u"messageLabel"_s);
        QVERIFY(message->isVisible());
        QVERIFY(message->geometry().bottom() <
                dialog.findChild<QTreeView*>(u"treeView"_s)->mapTo(&dialog, QPoint()).y());
        QVERIFY(!dialog.findChild<QToolButton*>(u"newFolderButton"_s)->isVisible());
        QCOMPARE(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->text(),
                 u"Choose Folder"_s);
        auto* model = dialog.findChild<QFileSystemModel*>();
        const QModelIndex root = model->index(dir.path());
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(root), 1, 5000);
        QCOMPARE(model->index(0, 0, root).data().toString(), u"Albums"_s);
    }

    void driven_data()
    {
        columns("args");
        const QString dir = m_dir.path();
        QVERIFY(QDir(dir).mkpath(u"Music/Albums"_s));
        QVERIFY(QFile::link(m_dir.filePath(u"Music/Albums"_s), m_dir.filePath(u"albums"_s)));
        // Qt does not list a name that is not UTF-8; a link to it is how it gets chosen.
        QVERIFY(::mkdir(m_notUtf8.constData(), 0700) == 0);
        QVERIFY(::symlink(m_notUtf8.constData(), QFile::encodeName(dir + u"/bjork"_s)) == 0);

        row("cancel", {u"cancel"_s}, R"x({"status":"cancelled"})x", 2);
        row("other close", {u"close"_s, u"7"_s},
            R"x({"status":"error","message":"The folder picker closed unexpectedly."})x", 1);
        row("root", {u"choose"_s, u"/"_s}, R"x({"status":"selected","path":"/"})x", 0);
        const auto choose = [&](const char* tag, const char* name, const QByteArray& escaped) {
            QVERIFY(QDir(dir).mkpath(QString::fromUtf8(name)));
            row(tag, {u"choose"_s, dir, QString::fromUtf8(name)},
                m_selected + '/' + escaped + "\"}", 0);
        };
        choose("non-ASCII", "Sigur Rós – Ágætis", "Sigur Rós – Ágætis");
        choose("link gives its target", "albums", "Music/Albums");
        QTest::newRow("not UTF-8") << QStringList{u"choose"_s, dir, u"bjork"_s} << QByteArray()
                                   << QByteArray("Unable to encode folder picker result.\n") << 1;
    }
    void driven()
    {
        QFETCH(QStringList, args);
        run(QStringLiteral(FOLDER_PICKER_DRIVEN), args, {});
    }

    void shippedToolOnX11_data()
    {
        columns("keys");
        const QString folder = QDir(m_dir.path()).canonicalPath() + u"/Live at the Forum (1977)"_s;
        QVERIFY(QDir().mkpath(folder));
        row("Escape cancels", words("key Escape"), R"x({"status":"cancelled"})x", 2);
        row("a typed folder", words("type --delay 20") << folder,
            "{\"status\":\"selected\",\"path\":\"" + folder.toUtf8() + "\"}", 0);
    }
    void shippedToolOnX11()
    {
        QFETCH(QStringList, keys);
        if (m_display.isEmpty())
            QSKIP("Needs Xvfb and xdotool (Debian packages xvfb and xdotool)");
        // Typed once the dialog is mapped and has the focus; a typed folder is then chosen.
        const QStringList focus = words("search --sync --onlyvisible --name")
                                  << u"^Choose Music Folder$"_s << words("windowfocus --sync");
        QList<QStringList> steps = {focus + keys};
        if (keys.first() == u"type")
            steps.append(words("key Return"));
        run(QStringLiteral(FOLDER_PICKER_TOOL), {}, steps);
    }
};

QTEST_MAIN(FolderPickerTest)
#include "tst_folder_picker.moc"
