#pragma once

#include "base/file_error.h"

#include <QByteArray>
#include <QString>

inline constexpr qint64 DefaultServerPort = 2104;

struct PortChoice
{
    qint64 port = DefaultServerPort;
    // Fails with what was wrong with the information dictionary; the port is usable either way.
    Expected<void> reading;
};

// The port from the bundle's Info.json: "TarvessaServerPort", then the legacy
// "QuarleServerPort", then 2104. A value that is not a JSON number, or not a whole number from
// 1 to 65535, counts as absent, so a bad value falls through instead of giving an unusable
// address.
PortChoice choosePort(const QByteArray& infoJson);
// The same from the file, which must be a regular file of at most 1 MiB; anything else is read
// as no Info.json at all, without waiting on it.
PortChoice choosePortFromFile(const QString& infoJsonPath);
