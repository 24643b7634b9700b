#include "test_account.h"

#include "desktop/status_notifier_item.h"

#include <QDBusConnection>
#include <QDir>

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
    // The XDG homes where the desktop's defaults would put them, set all the same: what the
    // application reads is then the account's, whatever the caller's own session says.
    for (const auto& [name, folder] : {std::pair{"XDG_DATA_HOME", "/.local/share"},
                                       {"XDG_CACHE_HOME", "/.cache"},
                                       {"XDG_STATE_HOME", "/.local/state"},
                                       {"XDG_CONFIG_HOME", "/.config"}})
        environment.insert(QLatin1String(name), home() + QLatin1String(folder));
}

void TestAccount::installRuntime(const QString& scriptBody)
{
    const QString runtime = bundle() + QStringLiteral("/Resources/runtime/bin/node");
    writeFile(runtime, "#!/bin/sh\n" + scriptBody.toUtf8() + "\n");
    QFile(runtime).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(bundle() + QStringLiteral("/Resources/app/build/server/index.js"), "// entry\n");
}

BaseFolders& TestAccount::folders()
{
    if (!m_folders)
        m_folders.emplace(environment, bundle(), path(QStringLiteral("tmp")));
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
