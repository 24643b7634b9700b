#include "port_choice.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <cmath>

namespace {
constexpr qint64 MaxInfoJsonBytes = 1 << 20; // an information dictionary is a few lines

bool isUsablePort(const QJsonValue& value)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    return std::isfinite(number) && number == std::floor(number) && number >= 1 && number <= 65535;
}
} // namespace

PortChoice choosePort(const QByteArray& infoJson)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(infoJson, &parseError);
    PortChoice choice;
    if (parseError.error != QJsonParseError::NoError) {
        choice.reading = FileError{QStringLiteral("Info.json is not valid JSON (%1 at byte %2)")
                                       .arg(parseError.errorString())
                                       .arg(parseError.offset)};
        return choice;
    }
    if (!document.isObject()) {
        choice.reading = FileError{QStringLiteral("Info.json does not hold a JSON object")};
        return choice;
    }
    const QJsonObject info = document.object();
    QStringList unusable;
    for (const auto* key : {"TarvessaServerPort", "QuarleServerPort"}) {
        const QJsonValue value = info.value(QLatin1String(key));
        if (isUsablePort(value)) {
            choice.port = static_cast<qint64>(value.toDouble());
            break;
        }
        if (!value.isUndefined())
            unusable.append(QLatin1String(key));
    }
    if (!unusable.isEmpty())
        choice.reading =
            FileError{QStringLiteral("Info.json: %1 is not a port number from 1 to 65535")
                          .arg(unusable.join(QStringLiteral(" and ")))};
    return choice;
}

PortChoice choosePortFromFile(const QString& infoJsonPath)
{
    QFile file(infoJsonPath);
    if (!file.open(QIODevice::ReadOnly)) {
        PortChoice choice;
        choice.reading =
            FileError{QStringLiteral("cannot read %1: %2").arg(infoJsonPath, file.errorString())};
        return choice;
    }
    if (file.size() > MaxInfoJsonBytes) {
        PortChoice choice;
        choice.reading =
            FileError{QStringLiteral("%1 is larger than 1 MiB and was not read").arg(infoJsonPath)};
        return choice;
    }
    return choosePort(file.readAll());
}
