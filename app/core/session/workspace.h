#pragma once

#include <QString>
#include <QUrl>

// The desktop's services for handing things to other applications.
class Workspace
{
public:
    virtual ~Workspace() = default;
    virtual void openUrl(const QUrl& url) = 0;
    virtual void openFolder(const QString& folderPath) = 0;
    // Shows the file manager with the file selected; falls back to opening its folder.
    virtual void revealFile(const QString& filePath) = 0;
};

class Clipboard
{
public:
    virtual ~Clipboard() = default;
    virtual void setText(const QString& text) = 0;
};
