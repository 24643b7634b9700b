#pragma once

#include "session/alerts.h"
#include "session/login_items.h"
#include "session/workspace.h"

#include <QQueue>
#include <functional>

// Alerts answered by the test: each shown alert is recorded, `whileOpen` (once) runs as if the
// user went on clicking while it is open, and it is answered with the next queued button index
// (0 when nothing is queued).
struct ScriptedAlerts final : Alerts
{
    int run(const AlertRequest& request) override
    {
        shown.append(request);
        if (auto during = std::exchange(whileOpen, nullptr))
            during();
        return answers.isEmpty() ? 0 : answers.dequeue();
    }
    QList<AlertRequest> shown;
    QQueue<int> answers;
    std::function<void()> whileOpen;
};

struct RecordingWorkspace final : Workspace
{
    void openUrl(const QUrl& url) override { openedUrls.append(url); }
    void openFolder(const QString& folderPath) override { openedFolders.append(folderPath); }
    void revealFile(const QString& filePath) override { revealedFiles.append(filePath); }
    QList<QUrl> openedUrls;
    QStringList openedFolders, revealedFiles;
};

struct RecordingClipboard final : Clipboard
{
    void setText(const QString& text) override { texts.append(text); }
    QStringList texts;
};

// A login-item service whose status and failure the test sets; it records what it is asked.
struct ScriptedLoginItems final : LoginItemService
{
    int status() override { return currentStatus; }
    Expected<void> registerItem() override { return change("register", statusAfter); }
    Expected<void> unregisterItem() override { return change("unregister", NotRegistered); }
    void openSettings() override { calls << QStringLiteral("settings"); }
    Expected<void> change(const char* call, int after)
    {
        calls << QLatin1String(call);
        if (!failure)
            currentStatus = after;
        return failure ? Expected<void>(FileError{*failure}) : Expected<void>();
    }
    int currentStatus = NotRegistered;
    int statusAfter = Enabled; // once registered
    std::optional<QString> failure;
    QStringList calls;
};
