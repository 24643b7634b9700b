#include "test_account.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

TestAccount::TestAccount()
{
    QDir(root()).mkpath(QStringLiteral("home"));
    QDir(root()).mkpath(QStringLiteral("tmp"));
    QDir(root()).mkpath(QStringLiteral("bundle/Resources"));
    environment.insert(QStringLiteral("HOME"), home());
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home() + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home() + QStringLiteral("/.cache"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), home() + QStringLiteral("/.local/state"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/.config"));
}

void TestAccount::writeInfoJson(const QByteArray& contents)
{
    QFile file(bundle() + QStringLiteral("/Info.json"));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(contents);
}

void TestAccount::writeInfoJson(const QJsonObject& info)
{
    writeInfoJson(QJsonDocument(info).toJson());
}

void TestAccount::installRuntime(const QString& scriptBody)
{
    const QString resources = bundle() + QStringLiteral("/Resources");
    QDir(resources).mkpath(QStringLiteral("runtime/bin"));
    QDir(resources).mkpath(QStringLiteral("app/build/server"));
    QFile runtime(resources + QStringLiteral("/runtime/bin/node"));
    runtime.open(QIODevice::WriteOnly | QIODevice::Truncate);
    runtime.write("#!/bin/sh\n" + scriptBody.toUtf8() + "\n");
    runtime.close();
    runtime.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile entry(resources + QStringLiteral("/app/build/server/index.js"));
    entry.open(QIODevice::WriteOnly | QIODevice::Truncate);
    entry.write("// stand-in entry script\n");
}

BaseFolders& TestAccount::folders()
{
    if (!m_folders)
        m_folders = std::make_unique<BaseFolders>(environment, bundle(), sharedTemp());
    return *m_folders;
}

std::unique_ptr<TarvessaAudioServerAppDelegate>
TestAccount::makeController(ControllerTimings timings)
{
    return std::make_unique<TarvessaAudioServerAppDelegate>(
        TarvessaAudioServerAppDelegate::Services{alerts, workspace, clipboard, loginItems,
                                                 folders(), [this] { ++quitRequests; }},
        timings);
}
