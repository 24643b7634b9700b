#include "probe_answer.h"

#include <QJsonDocument>
#include <QJsonObject>

bool isCompatibleAnswer(std::optional<int> httpStatus, const QByteArray& body)
{
    if (httpStatus != 200 || body.isEmpty())
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return false;
    const QJsonValue mode = document.object().value(QLatin1String("mode"));
    return mode.isString() && mode.toString() == QLatin1String("quarle");
}
