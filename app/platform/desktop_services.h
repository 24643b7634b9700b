#pragma once

#include "alerts.h"
#include "workspace.h"

#include <functional>

class QDBusConnection;

// The Linux desktop's implementations: Qt's message boxes, the clipboard, xdg-open and the
// freedesktop file manager interface.
class MessageBoxAlerts final : public Alerts
{
public:
    int run(const AlertRequest& request) override;
};

class DesktopWorkspace final : public Workspace
{
public:
    void openUrl(const QUrl& url) override;
    void openFolder(const QString& folderPath) override;
    void revealFile(const QString& filePath) override;
};

// Asks the freedesktop file manager on `bus` to show the file, without waiting; `done` learns
// later whether it did.
void revealInFileManager(const QDBusConnection& bus, const QString& filePath,
                         std::function<void(bool shown)> done);

// Tells the user, over the desktop's notification service, that the tray icon cannot be shown
// and how to reach the application without it. Without a notification service, nothing.
void notifyNoTrayIcon(const QDBusConnection& bus);

class SystemClipboard final : public Clipboard
{
public:
    void setText(const QString& text) override;
};
