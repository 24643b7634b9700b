#pragma once

#include "session/alerts.h"
#include "session/workspace.h"

#include <QDBusConnection>
#include <chrono>
#include <functional>

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
    // The file manager is asked over `bus`; its folder is opened instead when it cannot be
    // asked, says no, or has not answered within `revealLimit`.
    explicit DesktopWorkspace(const QDBusConnection& bus = QDBusConnection::sessionBus(),
                              std::chrono::milliseconds revealLimit = std::chrono::seconds(25))
        : m_bus(bus), m_revealLimit(revealLimit)
    {}
    void openUrl(const QUrl& url) override;
    void openFolder(const QString& folderPath) override;
    void revealFile(const QString& filePath) override;

private:
    QDBusConnection m_bus;
    std::chrono::milliseconds m_revealLimit;
};

// Asks the freedesktop file manager on `bus` to show the file, without waiting; `done` learns
// once whether it did: false at once with no connection, else with its answer or at `limit`
// (an answer after that is not heard).
void revealInFileManager(const QDBusConnection& bus, const QString& filePath,
                         std::chrono::milliseconds limit, std::function<void(bool shown)> done);

// Tells the user, over the desktop's notification service, that the tray icon cannot be shown
// and how to reach the application without it. Without a notification service, nothing.
void notifyNoTrayIcon(const QDBusConnection& bus);

class SystemClipboard final : public Clipboard
{
public:
    void setText(const QString& text) override;
};
