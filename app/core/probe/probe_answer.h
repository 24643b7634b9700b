#pragma once

#include <QByteArray>
#include <optional>

// A compatible server answers the mode request with status 200 and a JSON object whose "mode"
// is the string "quarle". The status is absent when no HTTP response came at all.
bool isCompatibleAnswer(std::optional<int> httpStatus, const QByteArray& body);
