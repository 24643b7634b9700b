#include "picker_result.h"
#include "result_encoder.h"

#include <QDialog>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

class PickerResultTest : public QObject
{
    Q_OBJECT

private slots:
    void pathBytesAndRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("escaped");
        QTest::newRow("line feed") << QByteArray("/m/a\nb") << QByteArray(R"(\/m\/a\nb)");
        QTest::newRow("quote and backslash")
            << QByteArray("/m/\"x\\y\"") << QByteArray("\\/m\\/\\\"x\\\\y\\\"");
        QTest::newRow("non-ASCII stays UTF-8")
            << QByteArray("/m/Björk 🎵") << QByteArray(R"(\/m\/Björk 🎵)");
        QTest::newRow("slash heavy")
            << QByteArray("//a///b/./c//") << QByteArray(R"(\/\/a\/\/\/b\/.\/c\/\/)");
        QTest::newRow("controls") << QByteArray("\t\r\b\f\x01\x1f\x7f")
                                  << QByteArray(R"(\t\r\b\f\u0001\u001f)"
                                                "\x7f");
    }

    void pathBytesAndRoundTrip()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, escaped);
        const auto encoded = encodePickerResult(PickerStatus::Selected, path, {});
        QVERIFY(encoded);
        QCOMPARE(*encoded, "{\"status\":\"selected\",\"path\":\"" + escaped + "\"}");

        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(*encoded, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(object.keys(), QStringList({QStringLiteral("path"), QStringLiteral("status")}));
        QCOMPARE(object.value(QStringLiteral("path")).toString().toUtf8(), path);
    }

    void invalidUtf8IsRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("stray byte") << QByteArray("/m/bad\xff");
        QTest::newRow("Latin-1 name") << QByteArray("/m/Bj\xf6rk");
        QTest::newRow("overlong slash") << QByteArray("/m/\xc0\xaf");
        QTest::newRow("surrogate") << QByteArray("/m/\xed\xa0\x80");
        QTest::newRow("past U+10FFFF") << QByteArray("/m/\xf4\x90\x80\x80");
        QTest::newRow("cut short") << QByteArray("/m/\xe2\x82");
    }

    void invalidUtf8IsRefused()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!encodePickerResult(PickerStatus::Selected, bytes, {}));
    }

    void dialogOutcomes_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<QUrl>("chosen"); // empty when nothing was chosen
        QTest::addColumn<QByteArray>("line");
        const QByteArray notLocal =
            R"({"status":"error","message":"The selected item is not a local or mounted directory."})";
        const auto tmp = QUrl::fromLocalFile(QDir::tempPath());
        QTest::newRow("cancel") << int(QDialog::Rejected) << tmp
                                << QByteArray(R"({"status":"cancelled"})");
        QTest::newRow("other close")
            << 42 << tmp
            << QByteArray(
                   R"({"status":"error","message":"The folder picker closed unexpectedly."})");
        QTest::newRow("nothing chosen") << int(QDialog::Accepted) << QUrl() << notLocal;
        QTest::newRow("not a file URL")
            << int(QDialog::Accepted) << QUrl(QStringLiteral("smb://nas/music")) << notLocal;
        QTest::newRow("vanished") << int(QDialog::Accepted)
                                  << QUrl::fromLocalFile(QStringLiteral("/no/such/folder"))
                                  << notLocal;
        QTest::newRow("NUL in path")
            << int(QDialog::Accepted) << QUrl(QStringLiteral("file:///tmp%00/x")) << notLocal;
        QTest::newRow("root") << int(QDialog::Accepted) << QUrl(QStringLiteral("file:///"))
                              << QByteArray(R"({"status":"selected","path":"\/"})");
    }

    void dialogOutcomes()
    {
        QFETCH(int, result);
        QFETCH(QUrl, chosen);
        QFETCH(QByteArray, line);
        const auto outcome =
            mapDialogOutcome(result, chosen.isEmpty() ? std::nullopt : std::optional(chosen));
        QCOMPARE(*encodePickerResult(outcome.status, outcome.path, outcome.message), line);
    }
};

QTEST_GUILESS_MAIN(PickerResultTest)
#include "tst_picker_result.moc"
