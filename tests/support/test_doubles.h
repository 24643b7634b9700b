#pragma once

#include "platform/alerts.h"
#include "platform/login_items.h"
#include "platform/workspace.h"

#include <QList>
#include <QQueue>
#include <QStringList>
#include <QUrl>

// Alerts answered by the test: each shown alert is recorded and answered with the next queued
// button index (0 when nothing is queued).
class ScriptedAlerts final : public Alerts
{
public:
    int run(const AlertRequest& request) override
    {
        shown.append(request);
        return answers.isEmpty() ? 0 : answers.dequeue();
    }
    QList<AlertRequest> shown;
    QQueue<int> answers;
};

class RecordingWorkspace final : public Workspace
{
public:
    void openUrl(const QUrl& url) override { openedUrls.append(url); }
    void openFolder(const QString& folderPath) override { openedFolders.append(folderPath); }
    void revealFile(const QString& filePath) override { revealedFiles.append(filePath); }
    QList<QUrl> openedUrls;
    QStringList openedFolders;
    QStringList revealedFiles;
};

class RecordingClipboard final : public Clipboard
{
public:
    void setText(const QString& text) override { texts.append(text); }
    QStringList texts;
};

// A login-item service whose status and failures the test sets.
class ScriptedLoginItems final : public LoginItemService
{
public:
    int status() override { return currentStatus; }
    Expected<void> registerItem() override
    {
        ++registerCalls;
        if (registerFailure)
            return FileError{*registerFailure};
        currentStatus = statusAfterRegister;
        return {};
    }
    Expected<void> unregisterItem() override
    {
        ++unregisterCalls;
        if (unregisterFailure)
            return FileError{*unregisterFailure};
        currentStatus = NotRegistered;
        return {};
    }
    void openSettings() override { ++settingsOpened; }

    int currentStatus = NotRegistered;
    int statusAfterRegister = Enabled;
    std::optional<QString> registerFailure;
    std::optional<QString> unregisterFailure;
    int registerCalls = 0;
    int unregisterCalls = 0;
    int settingsOpened = 0;
};
