#pragma once

#include "base/base_folders.h"
#include "controller/app_delegate.h"
#include "deadline.h"
#include "test_doubles.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <optional>

// A file's bytes, empty when it cannot be read.
QByteArray readAll(const QString& path);
// Writes a file, making its folder first.
bool writeFile(const QString& path, const QByteArray& contents);

// A fresh user account and bundle under one temporary folder: XDG homes, a shared temporary
// folder standing in for /tmp, and a bundle whose Info.json and runtime the test chooses.
class TestAccount
{
public:
    TestAccount();

    QString root() const { return m_root.path(); }
    QString path(const QString& relative) const { return m_root.filePath(relative); }
    QString home() const { return path(QStringLiteral("home")); }
    QString bundle() const { return path(QStringLiteral("bundle")); }

    // The environment the application inherits: XDG_* point into the account.
    QProcessEnvironment environment;
    void writeInfoJson(const QJsonObject& info)
    {
        writeFile(bundle() + QStringLiteral("/Info.json"), QJsonDocument(info).toJson());
    }
    // Installs a shell script as the bundle's runtime (Resources/runtime/bin/node) and an entry
    // script, so a start runs the script with the entry script's path as its argument.
    void installRuntime(const QString& scriptBody);

    BaseFolders& folders();

    ScriptedAlerts alerts;
    RecordingWorkspace workspace;
    RecordingClipboard clipboard;
    ScriptedLoginItems loginItems;
    int quitRequests = 0;

    // A controller over this account; the folders are fixed at the first call.
    std::unique_ptr<TarvessaAudioServerAppDelegate>
    makeController(ControllerTimings timings = ControllerTimings{});

private:
    QTemporaryDir m_root;
    std::optional<BaseFolders> m_folders;
};
