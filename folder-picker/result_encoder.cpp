#include "result_encoder.h"

static void appendJsonString(QByteArray& out, QByteArrayView utf8)
{
    static constexpr char hex[] = "0123456789abcdef";
    out.append('"');
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '/':
            out.append("\\/");
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\f':
            out.append("\\f");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\t':
            out.append("\\t");
            break;
        default:
            if (byte < 0x20) {
                out.append("\\u00");
                out.append(hex[byte >> 4]);
                out.append(hex[byte & 0xf]);
            } else {
                out.append(c); // bytes of multi-byte UTF-8 sequences pass through unchanged
            }
        }
    }
    out.append('"');
}

static void appendMember(QByteArray& out, const char* name, QByteArrayView utf8)
{
    if (out.size() > 1)
        out.append(',');
    appendJsonString(out, QByteArrayView(name));
    out.append(':');
    appendJsonString(out, utf8);
}

std::optional<QByteArray> encodePickerResult(PickerStatus status,
                                             const std::optional<QByteArray>& path,
                                             const std::optional<QString>& message)
{
    if (message && !QStringView(*message).isValidUtf16())
        return std::nullopt;
    QByteArray out("{");
    appendMember(out, "status", pickerStatusName(status).toUtf8());
    if (path)
        appendMember(out, "path", *path);
    if (message)
        appendMember(out, "message", message->toUtf8());
    out.append('}');
    if (!isValidUtf8(out))
        return std::nullopt;
    return out;
}

bool isValidUtf8(QByteArrayView bytes)
{
    static constexpr char32_t smallestFor[] = {0, 0x80, 0x800, 0x10000}; // by continuation bytes
    qsizetype i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const int extra = (lead & 0xe0) == 0xc0   ? 1
                          : (lead & 0xf0) == 0xe0 ? 2
                          : (lead & 0xf8) == 0xf0 ? 3
                                                  : 0;
        if (extra == 0 || bytes.size() - i <= extra)
            return false;
        char32_t code = lead & (0x7f >> (extra + 1));
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3f);
        }
        if (code < smallestFor[extra] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        i += extra + 1;
    }
    return true;
}
