#include "folder-picker/result_encoder.h"

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
    if (!QByteArrayView(out).isValidUtf8()) // strict: no overlong forms, no surrogates
        return std::nullopt;
    return out;
}
