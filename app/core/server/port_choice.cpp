#include "server/port_choice.h"

#include "base/native_names.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    PortChoice choice;
    const auto refuse = [&](const QString& why) {
        choice.reading = FileError{QStringLiteral("cannot read %1: %2").arg(infoJsonPath, why)};
        return choice;
    };
    const auto systemError = [](int error) { return QString::fromLocal8Bit(std::strerror(error)); };
    // A FIFO would block the start for ever and a device like /dev/zero never ends: only a
    // regular file is opened, reached through links (an installation may link it elsewhere).
    // Should another kind of file take its place meanwhile, the open does not wait and the read
    // stops one byte past the limit.
    const QByteArray name = encodeNativeName(infoJsonPath);
    struct stat info;
    if (::stat(name.constData(), &info) != 0)
        return refuse(systemError(errno));
    if (!S_ISREG(info.st_mode))
        return refuse(QStringLiteral("it is not a regular file"));
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return refuse(systemError(errno));
    QByteArray contents;
    char buffer[8192];
    ssize_t got = 0;
    while (contents.size() <= MaxInfoJsonBytes &&
           ((got = ::read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)))
        contents.append(buffer, std::max<ssize_t>(got, 0));
    const int error = got < 0 ? errno : 0;
    ::close(fd);
    if (error != 0)
        return refuse(systemError(error));
    if (contents.size() > MaxInfoJsonBytes)
        return refuse(QStringLiteral("it is larger than 1 MiB"));
    return choosePort(contents);
}
