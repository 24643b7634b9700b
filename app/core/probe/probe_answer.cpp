#include "probe/probe_answer.h"

#include <QJsonDocument>
#include <QJsonObject>

bool isCompatibleAnswer(std::optional<int> httpStatus, const QByteArray& body)
{
    if (httpStatus != 200 || body.isEmpty())
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return false;
    // A mode that is no string reads as an empty one.
    return document.object().value(QLatin1String("mode")).toString() == QLatin1String("quarle");
}
