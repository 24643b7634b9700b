#include "test_account.h"

#include "platform/status_notifier_item.h"

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QFileInfo>

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(contents) == contents.size();
}

TestAccount::TestAccount()
{
    for (const char* folder : {"home", "tmp", "bundle/Resources"})
        QDir(root()).mkpath(QLatin1String(folder));
    environment.insert(QStringLiteral("HOME"), home());
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home() + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home() + QStringLiteral("/.cache"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), home() + QStringLiteral("/.local/state"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/.config"));
}

void TestAccount::writeInfoJson(const QByteArray& contents)
{
    writeFile(bundle() + QStringLiteral("/Info.json"), contents);
}

void TestAccount::installRuntime(const QString& scriptBody)
{
    const QString resources = bundle() + QStringLiteral("/Resources");
    const QString runtime = resources + QStringLiteral("/runtime/bin/node");
    writeFile(runtime, "#!/bin/sh\n" + scriptBody.toUtf8() + "\n");
    QFile(runtime).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(resources + QStringLiteral("/app/build/server/index.js"), "// stand-in entry\n");
}

BaseFolders& TestAccount::folders()
{
    if (!m_folders)
        m_folders =
            std::make_unique<BaseFolders>(environment, bundle(), path(QStringLiteral("tmp")));
    return *m_folders;
}

std::unique_ptr<TarvessaAudioServerAppDelegate>
TestAccount::makeController(ControllerTimings timings)
{
    return std::make_unique<TarvessaAudioServerAppDelegate>(
        TarvessaAudioServerAppDelegate::Services{
            alerts, workspace, clipboard, loginItems, folders(), [this] { ++quitRequests; },
            [] { return makeStatusItem(QDBusConnection::sessionBus()); }},
        timings);
}
