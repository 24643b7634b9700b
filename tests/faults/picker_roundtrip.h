#pragma once

#include "result_encoder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

// The folder picker's promise for any chosen path: one line of JSON that reads back as exactly
// the path's bytes, or, for bytes that are not UTF-8, nothing at all.
inline bool pickerRoundTripHolds(const QByteArray& path)
{
    const auto encoded = encodePickerResult(PickerStatus::Selected, path, std::nullopt);
    QStringDecoder strict(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                    QStringDecoder::Flag::ConvertInitialBom);
    const QString text = strict(path); // decoded here; incomplete at the end is an error too
    if (!encoded || strict.hasError())
        return encoded.has_value() != strict.hasError();
    const QJsonObject read = QJsonDocument::fromJson(*encoded).object();
    const QByteArray back = read.value(QLatin1String("path")).toString().toUtf8();
    // Qt's reader, unlike the server's, may drop a byte-order mark that opens a string.
    return !encoded->contains('\n') && read.size() == 2 &&
           read.value(QLatin1String("status")).toString() == QLatin1String("selected") &&
           (back == path || (path.startsWith("\xef\xbb\xbf") && back == path.mid(3)));
}
