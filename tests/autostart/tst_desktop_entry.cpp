// The desktop entry format on its own: Exec lines split as launchers split them, an argument we
// quote comes back whole, and a text that is no desktop entry is refused (not UTF-8, no group, the
// group twice, a line that is no key).
#include "platform/desktop_entry.h"

#include <QTest>

using namespace Qt::StringLiterals;
using L = QStringList;
using Words = std::optional<L>;

class DesktopEntryTest : public QObject
{
    Q_OBJECT

private slots:
    void splitExec_data()
    {
        using namespace DesktopEntry;
        const QString path = u" /a \"b\" `c` $d \\e 50%\t"_s;
        QTest::addColumn<QString>("exec");
        QTest::addColumn<Words>("words");
        QTest::newRow("plain") << u"/x --autostart"_s << Words(L{u"/x"_s, u"--autostart"_s});
        QTest::newRow("field code") << u"\"/a b/x\" %U"_s << Words(L{u"/a b/x"_s});
        QTest::newRow("escapes") << u"\"a\\\"b\\\\c\\$d\""_s << Words(L{u"a\"b\\c$d"_s});
        QTest::newRow("percent, empty") << u"x 100%% \"\""_s << Words(L{u"x"_s, u"100%"_s, u""_s});
        QTest::newRow("open quote") << u"\"x"_s << Words();
        QTest::newRow("ours") << unescape(escape(quoteExecArgument(path))) << Words(L{path});
    }
    void splitExec()
    {
        QFETCH(QString, exec);
        QFETCH(Words, words);
        QCOMPARE(DesktopEntry::splitExec(exec), words);
    }

    void mainGroup()
    {
        for (const char* text :
             {"[Desktop Entry]\nName=\xff\n", "Type=Application\n",
              "[Desktop Entry]\n[Desktop Entry]\n", "[Desktop Entry]\nbad key=1\n"})
            QVERIFY2(!DesktopEntry::mainGroup(text), text);
        const auto group = DesktopEntry::mainGroup("[Desktop Entry]\nType=Application\n");
        QCOMPARE(group.value_or(QHash<QString, QString>()).value(u"Type"_s), u"Application"_s);
    }
};

QTEST_GUILESS_MAIN(DesktopEntryTest)
#include "tst_desktop_entry.moc"
