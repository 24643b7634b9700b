#pragma once

#include "test_account.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace foundation {

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(contents) == contents.size();
}

// The permission bits of the item itself, not of a link's target; -1 when nothing is there.
inline int modeOf(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777)
                                                                    : -1;
}

// A fresh account and its controller with the menu built, made at first use so that a test can
// set the account's environment or Info.json first. The places are spelled out here rather than
// asked of the code under test.
struct Fixture
{
    TestAccount account;
    QByteArray info = QByteArrayLiteral("{}"); // null: the bundle has no Info.json
    std::unique_ptr<TarvessaAudioServerAppDelegate> controller;
    const QString home = account.home() + QLatin1Char('/');
    const QString data = home + QStringLiteral(".local/share/Tarvessa Audio Server");
    const QString cache = home + QStringLiteral(".cache/io.tarvessa.tarvessa-audio-server");
    const QString log = home + QStringLiteral(".local/state/Tarvessa Audio Server");
    const QString caddy =
        account.sharedTemp() + QStringLiteral("/tarvessa-caddy-%1").arg(::getuid());

    TarvessaAudioServerAppDelegate* operator->()
    {
        if (!controller) {
            if (!info.isNull())
                account.writeInfoJson(info);
            controller = account.makeController();
            controller->buildStatusMenu();
        }
        return controller.get();
    }
    QStringList folders() const // in the order they are made
    {
        const auto in = [this](const char* name) { return data + QLatin1String(name); };
        return {
            data, in("/artwork-cache"), in("/managed-caddy"), in("/streaming-cache"), caddy, cache,
            log};
    }
};

} // namespace foundation
