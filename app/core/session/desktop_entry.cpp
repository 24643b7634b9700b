#include "session/desktop_entry.h"

#include <QRegularExpression>
#include <QStringDecoder>

namespace {

bool isKeyName(QStringView key)
{
    // A-Za-z0-9- with an optional [locale]: a constant pattern, compiled once.
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9-]+(\\[[^\\]]+\\])?$"));
    return pattern.match(key).hasMatch();
}

// %% is a percent sign; the field codes stand for files, addresses and names a launcher would
// fill in, and an autostart launch has none.
QString expandFieldCodes(const QString& word)
{
    QString out;
    for (qsizetype i = 0; i < word.size(); ++i) {
        if (word[i] == u'%' && i + 1 < word.size()) {
            const QChar code = word[i + 1];
            if (code == u'%') {
                out += u'%';
                ++i;
                continue;
            }
            if (QStringView(u"fFuUdDnNickvm").contains(code)) {
                ++i;
                continue;
            }
        }
        out += word[i];
    }
    return out;
}

} // namespace

std::optional<QHash<QString, QString>> DesktopEntry::mainGroup(const QByteArray& contents)
{
    if (contents.contains('\0'))
        return std::nullopt;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(contents);
    if (utf8.hasError())
        return std::nullopt;
    const QString mainName = QStringLiteral("Desktop Entry");
    QHash<QString, QString> entry;
    bool found = false;
    QString group;
    for (QStringView line : QStringView(text).split(u'\n')) {
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#'))
            continue;
        if (trimmed.startsWith(u'[')) {
            group = trimmed.mid(1, trimmed.size() - 2).toString();
            if (!trimmed.endsWith(u']') || group.isEmpty() || group.contains(u'[') ||
                group.contains(u']') || (group == mainName && found))
                return std::nullopt;
            found = found || group == mainName;
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (group.isEmpty() || equals < 0 || !isKeyName(line.left(equals).trimmed()))
            return std::nullopt;
        if (group == mainName) {
            QStringView rest = line.mid(equals + 1);
            while (!rest.isEmpty() && (rest.front() == u' ' || rest.front() == u'\t'))
                rest = rest.mid(1);
            if (rest.endsWith(u'\r'))
                rest.chop(1);
            entry.insert(line.left(equals).trimmed().toString(), rest.toString());
        }
    }
    if (!found)
        return std::nullopt;
    return entry;
}

QString DesktopEntry::unescape(const QString& value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size()) {
            const char16_t next = value[i + 1].unicode();
            const char16_t plain = next == u's'    ? u' '
                                   : next == u'n'  ? u'\n'
                                   : next == u't'  ? u'\t'
                                   : next == u'r'  ? u'\r'
                                   : next == u'\\' ? u'\\'
                                                   : 0;
            if (plain != 0) {
                out += QChar(plain);
                ++i;
                continue;
            }
        }
        out += value[i];
    }
    return out;
}

QString DesktopEntry::escape(const QString& value)
{
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c == u' ' && i == 0)
            out += QStringLiteral("\\s"); // a leading space would be taken for padding
        else
            out += c;
    }
    return out;
}

std::optional<QStringList> DesktopEntry::splitExec(const QString& exec)
{
    QStringList words;
    QString word;
    bool inWord = false;
    bool quoted = false;
    auto finishWord = [&] {
        const QString expanded = expandFieldCodes(word);
        // A word made only of field codes disappears; an empty quoted word stays.
        if (!expanded.isEmpty() || word.isEmpty())
            words.append(expanded);
        word.clear();
        inWord = false;
    };
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        const bool hasNext = i + 1 < exec.size();
        if (quoted) {
            if (c == u'"')
                quoted = false;
            else if (c == u'\\' && hasNext && QStringView(u"\"`$\\").contains(exec[i + 1]))
                word += exec[++i];
            else
                word += c;
        } else if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inWord)
                finishWord();
        } else {
            inWord = true;
            if (c == u'"')
                quoted = true;
            else if (c == u'\\' && hasNext)
                word += exec[++i];
            else
                word += c;
        }
    }
    if (quoted)
        return std::nullopt;
    if (inWord)
        finishWord();
    return words;
}

QString DesktopEntry::quoteExecArgument(const QString& argument)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (QStringView(u"\"`$\\").contains(c))
            out += u'\\';
        else if (c == u'%')
            out += u'%'; // a bare % would be read as a field code
        out += c;
    }
    return out + u'"';
}
