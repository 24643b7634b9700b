// The "Start at Login" item: shows the login item's status and changes it.
#include "base/product.h"
#include "controller/app_delegate.h"
#include "controller/menu_appearance.h"
#include "session/alerts.h"
#include "session/login_items.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>

namespace {

// The folder and its entries or, while it does not exist, the nearest folder above it, so that
// its creation is seen. Set afresh after every change: editors and registrations replace the
// entry with a new file, which the old watch does not follow.
void watchAutostartPaths(QFileSystemWatcher& watcher, const QString& folder)
{
    const QStringList watched = watcher.files() + watcher.directories();
    if (!watched.isEmpty())
        watcher.removePaths(watched);
    QStringList wanted;
    if (QFileInfo(folder).isDir()) {
        wanted.append(folder);
        for (const QFileInfo& entry : QDir(folder).entryInfoList(QDir::Files))
            wanted.append(entry.absoluteFilePath());
    } else {
        QString above = folder;
        do
            above = QFileInfo(above).absolutePath();
        while (!QFileInfo(above).isDir() && above != QDir::rootPath());
        wanted.append(above);
    }
    watcher.addPaths(wanted);
}

} // namespace

void TarvessaAudioServerAppDelegate::refreshStartAtLoginMenuItem()
{
    if (!startAtLoginMenuItem)
        return; // the menu is not built yet, and shows the status once it is
    const int status = m_services.loginItems.status();
    const bool needsApproval = status == LoginItemService::RequiresApproval;
    startAtLoginMenuItem->setText(needsApproval
                                      ? QStringLiteral("Start at Login (Approval Required)")
                                      : QStringLiteral("Start at Login"));
    // A menu entry has no third check state: approval pending shows unchecked, with its title
    // and a dash-in-a-box icon.
    startAtLoginMenuItem->setChecked(status == LoginItemService::Enabled);
    if (needsApproval == startAtLoginMenuItem->icon().isNull())
        startAtLoginMenuItem->setIcon(needsApproval ? approvalPendingIcon() : QIcon());
}

// Some tray hosts never say that the menu opens, so a change made in the desktop's settings or
// by hand also refreshes the item.
void TarvessaAudioServerAppDelegate::watchLoginItemFolder()
{
    const QString folder = m_services.loginItems.watchedFolder();
    if (folder.isEmpty() || m_loginItemWatcher)
        return;
    m_loginItemWatcher = new QFileSystemWatcher(this);
    auto changed = [this, folder] {
        watchAutostartPaths(*m_loginItemWatcher, folder);
        refreshStartAtLoginMenuItem();
    };
    connect(m_loginItemWatcher, &QFileSystemWatcher::directoryChanged, this, changed);
    connect(m_loginItemWatcher, &QFileSystemWatcher::fileChanged, this, changed);
    watchAutostartPaths(*m_loginItemWatcher, folder);
}

void TarvessaAudioServerAppDelegate::toggleStartAtLogin(QObject*)
{
    LoginItemService& service = m_services.loginItems;
    const int status = service.status();
    Expected<void> changed;
    if (status == LoginItemService::Enabled) {
        changed = service.unregisterItem();
    } else if (status == LoginItemService::RequiresApproval) {
        presentStartAtLoginApproval();
    } else {
        changed = service.registerItem();
        const bool known =
            status == LoginItemService::NotRegistered || status == LoginItemService::NotFound;
        if (changed.ok() && known && service.status() == LoginItemService::RequiresApproval)
            presentStartAtLoginApproval();
    }
    if (!changed.ok()) {
        AlertRequest alert;
        alert.style = AlertRequest::Style::Warning;
        alert.title = QStringLiteral("Start at Login Could Not Be Changed");
        alert.informativeText = changed.error().description;
        alert.buttons = {QStringLiteral("OK")};
        presentAlert(alert);
    }
    refreshStartAtLoginMenuItem();
}

void TarvessaAudioServerAppDelegate::presentStartAtLoginApproval()
{
    AlertRequest alert;
    alert.style = AlertRequest::Style::Informational;
    alert.title = QStringLiteral("Approve Start at Login");
    alert.informativeText =
        QStringLiteral("Allow %1 in your desktop's Startup Applications settings so your server "
                       "can start automatically after you sign in.")
            .arg(displayName());
    alert.buttons = {QStringLiteral("Open System Settings"), QStringLiteral("Not Now")};
    presentAlert(alert, [this](int answer) {
        if (answer == 0)
            m_services.loginItems.openSettings();
    });
}
