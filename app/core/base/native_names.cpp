#include "base/native_names.h"

#include <QStringDecoder>

#include <unistd.h>

namespace {
constexpr char16_t EscapeBase = 0xDC00;
// Marks an escaped byte in a variable's name: a noncharacter, which no text exchanged carries.
constexpr QChar NameEscape(char16_t(0xFDD0));

// Only a lone low surrogate is an escaped byte: after a high surrogate it is the second half of a
// character outside the basic plane, which the decoder made from valid UTF-8.
bool isEscapedByte(QStringView text, qsizetype i)
{
    return text[i].unicode() >= EscapeBase + 0x80 && text[i].unicode() <= EscapeBase + 0xff &&
           !(i > 0 && text[i - 1].isHighSurrogate());
}

// The length of the valid UTF-8 sequence at the start of `bytes`, or 0.
qsizetype validSequence(QByteArrayView bytes)
{
    const auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80)
        return 1;
    const qsizetype extra = (lead & 0xe0) == 0xc0   ? 1
                            : (lead & 0xf0) == 0xe0 ? 2
                            : (lead & 0xf8) == 0xf0 ? 3
                                                    : 0;
    if (extra == 0 || bytes.size() <= extra)
        return 0;
    char32_t code = lead & (0x7f >> (extra + 1));
    for (qsizetype k = 1; k <= extra; ++k) {
        const auto next = static_cast<unsigned char>(bytes[k]);
        if ((next & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3f);
    }
    static constexpr char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < smallest[extra] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return extra + 1;
}
} // namespace

QString decodeNativeName(QByteArrayView bytes)
{
    QString out;
    out.reserve(bytes.size());
    qsizetype i = 0;
    while (i < bytes.size()) {
        const qsizetype length = validSequence(bytes.sliced(i));
        if (length == 0) {
            out += QChar(char16_t(EscapeBase + static_cast<unsigned char>(bytes[i])));
            ++i;
            continue;
        }
        out += QString::fromUtf8(bytes.sliced(i, length));
        i += length;
    }
    return out;
}

QByteArray encodeNativeName(QStringView name)
{
    QByteArray out;
    out.reserve(name.size());
    qsizetype start = 0;
    for (qsizetype i = 0; i <= name.size(); ++i) {
        const bool escaped = i < name.size() && isEscapedByte(name, i);
        if (!escaped && i < name.size())
            continue;
        out += name.sliced(start, i - start).toUtf8();
        if (escaped)
            out += char(name[i].unicode() - EscapeBase);
        start = i + 1;
    }
    return out;
}

QString decodeEnvironmentName(QByteArrayView bytes)
{
    const QString text = decodeNativeName(bytes);
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool escaped = isEscapedByte(text, i);
        if (escaped || text[i] == NameEscape)
            out += NameEscape;
        out += escaped ? QChar(char16_t(text[i].unicode() - EscapeBase)) : text[i];
    }
    return out;
}

QByteArray encodeEnvironmentName(QStringView name)
{
    QString native;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t next = i + 1 < name.size() ? name[i + 1].unicode() : 0;
        if (name[i] == NameEscape && (next == NameEscape || (next >= 0x80 && next <= 0xff))) {
            native += next == NameEscape ? NameEscape : QChar(char16_t(EscapeBase + next));
            ++i;
        } else {
            native += name[i];
        }
    }
    return encodeNativeName(native);
}

QProcessEnvironment nativeSystemEnvironment()
{
    QProcessEnvironment environment;
    for (char** entry = environ; *entry; ++entry) {
        const QByteArrayView variable(*entry);
        const qsizetype equals = variable.indexOf('=');
        if (equals > 0)
            environment.insert(decodeEnvironmentName(variable.first(equals)),
                               decodeNativeName(variable.sliced(equals + 1)));
    }
    return environment;
}
