#pragma once

#include "alerts.h"
#include "workspace.h"

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

class SystemClipboard final : public Clipboard
{
public:
    void setText(const QString& text) override;
};
