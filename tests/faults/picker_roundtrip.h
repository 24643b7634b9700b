#pragma once

#include "result_encoder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

// The folder picker's promise for any chosen path: one line of JSON that reads back as exactly
// the path's bytes, or, for bytes that are not UTF-8, nothing at all. Empty when it holds;
// otherwise what went wrong.
inline QString pickerRoundTripFault(const QByteArray& path)
{
    const std::optional<QByteArray> encoded =
        encodePickerResult(PickerStatus::Selected, path, std::nullopt);
    QStringDecoder strict(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                    QStringDecoder::Flag::ConvertInitialBom);
    const QString text = strict(path); // incomplete at the end is an error too
    const bool utf8 = !strict.hasError();
    if (!encoded)
        return utf8 ? QStringLiteral("a UTF-8 path was refused") : QString();
    QJsonParseError error;
    const QJsonObject result = QJsonDocument::fromJson(*encoded, &error).object();
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("not JSON: ") + error.errorString();
    if (encoded->contains('\n') || result.size() != 2 ||
        result.value(QLatin1String("status")).toString() != QLatin1String("selected"))
        return QStringLiteral("not the one line the server reads");
    // Qt's reader, unlike the server's, may drop a byte-order mark that opens a string.
    const QByteArray read = result.value(QLatin1String("path")).toString().toUtf8();
    if (read != path && !(path.startsWith("\xef\xbb\xbf") && read == path.mid(3)))
        return QStringLiteral("read back as another path");
    return {};
}
