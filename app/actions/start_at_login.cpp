// The "Start at Login" item: shows the login item's status and changes it.
#include "controller/app_delegate.h"
#include "platform/alerts.h"
#include "platform/login_items.h"

#include <QAction>

void TarvessaAudioServerAppDelegate::refreshStartAtLoginMenuItem()
{
    const int status = m_services.loginItems.status();
    const bool needsApproval = status == LoginItemService::RequiresApproval;
    startAtLoginMenuItem->setText(needsApproval ? QStringLiteral("Start at Login (Approval Required)")
                                                : QStringLiteral("Start at Login"));
    // A menu entry has no third check state: approval pending shows unchecked, with its title.
    startAtLoginMenuItem->setChecked(status == LoginItemService::Enabled);
}

void TarvessaAudioServerAppDelegate::toggleStartAtLogin(QObject*)
{
    LoginItemService& service = m_services.loginItems;
    const int status = service.status();
    std::optional<QString> failure;
    if (status == LoginItemService::Enabled) {
        failure = service.unregisterItem();
    } else if (status == LoginItemService::RequiresApproval) {
        presentStartAtLoginApproval();
    } else {
        failure = service.registerItem();
        const bool known = status == LoginItemService::NotRegistered ||
                           status == LoginItemService::NotFound;
        if (!failure && known && service.status() == LoginItemService::RequiresApproval)
            presentStartAtLoginApproval();
    }
    if (failure) {
        AlertRequest alert;
        alert.style = AlertRequest::Style::Warning;
        alert.title = QStringLiteral("Start at Login Could Not Be Changed");
        alert.informativeText = *failure;
        alert.buttons = {QStringLiteral("OK")};
        m_services.alerts.run(alert);
    }
    refreshStartAtLoginMenuItem();
}

void TarvessaAudioServerAppDelegate::presentStartAtLoginApproval()
{
    AlertRequest alert;
    alert.style = AlertRequest::Style::Informational;
    alert.title = QStringLiteral("Approve Start at Login");
    alert.informativeText = QStringLiteral(
        "Allow Tarvessa Audio Server in your desktop's Startup Applications settings so your "
        "server can start automatically after you sign in.");
    alert.buttons = {QStringLiteral("Open System Settings"), QStringLiteral("Not Now")};
    if (m_services.alerts.run(alert) == 0)
        m_services.loginItems.openSettings();
}
