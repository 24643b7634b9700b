// The tray icon and its menu: built once at launch, redrawn by updateMenu(for:).
#include "controller/app_delegate.h"
#include "controller/menu_appearance.h"

#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace {
constexpr auto ApplicationName = "Tarvessa Audio Server";

// The name, then the state, for the panels that show a tool tip on hover (KDE, XFCE).
QString toolTipFor(const QString& status)
{
    return QString::fromLatin1(ApplicationName) + QLatin1Char('\n') + status;
}
} // namespace

void TarvessaAudioServerAppDelegate::buildStatusMenu()
{
    for (auto kind : {TrayIconKind::stopped, TrayIconKind::starting, TrayIconKind::running,
                      TrayIconKind::failed})
        m_trayIcons[static_cast<size_t>(kind)] = trayIcon(kind);

    m_statusMenu = std::make_unique<QMenu>();
    QMenu* menu = m_statusMenu.get();
    auto add = [&](const QString& title, void (TarvessaAudioServerAppDelegate::*action)(QObject*),
                   QKeyCombination key = {}) {
        QAction* item = menu->addAction(title);
        if (action)
            connect(item, &QAction::triggered, this,
                    [this, action, item] { (this->*action)(item); });
        if (key.key() != Qt::Key_unknown)
            item->setShortcut(QKeySequence(key));
        return item;
    };
    using D = TarvessaAudioServerAppDelegate;
    add(QStringLiteral("Open Tarvessa Audio Server"), &D::openWebInterface, Qt::CTRL | Qt::Key_O);
    statusMenuItem = add(QStringLiteral("Server stopped"), nullptr);
    statusMenuItem->setEnabled(false);
    addressMenuItem = add(serverURL.toString(), &D::copyAddress);
    menu->addSeparator();
    toggleServerMenuItem = add(QStringLiteral("Start Server"), &D::toggleServer);
    restartServerMenuItem =
        add(QStringLiteral("Restart Server"), &D::restartServer, Qt::CTRL | Qt::Key_R);
    menu->addSeparator();
    startAtLoginMenuItem = add(QStringLiteral("Start at Login"), &D::toggleStartAtLogin);
    startAtLoginMenuItem->setCheckable(true);
    menu->addSeparator();
    add(QStringLiteral("Show Data Folder"), &D::showDataFolder);
    add(QStringLiteral("Show Server Log"), &D::showServerLog, Qt::CTRL | Qt::Key_L);
    menu->addSeparator();
    add(QStringLiteral("Quit Tarvessa Audio Server"), &D::quitApplication, Qt::CTRL | Qt::Key_Q);

    connect(menu, &QMenu::aboutToShow, this, &TarvessaAudioServerAppDelegate::menuWillOpen);
}

void TarvessaAudioServerAppDelegate::attachStatusItem()
{
    statusItem = std::make_unique<QSystemTrayIcon>();
    const MenuAppearance look = menuAppearanceFor(serverState, serverProcess != nullptr);
    statusItem->setIcon(m_trayIcons[static_cast<size_t>(look.icon)]);
    statusItem->setContextMenu(m_statusMenu.get());
    statusItem->setToolTip(toolTipFor(look.statusTitle));
    // A left click opens the same menu: the tray icon is the application's whole interface. Only
    // on X11: on Wayland a menu of our own with no parent becomes an ordinary window.
    const bool x11 = QGuiApplication::platformName() == QLatin1String("xcb");
    connect(statusItem.get(), &QSystemTrayIcon::activated, this,
            [this, x11](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger && statusItem && x11)
                    m_statusMenu->popup(QCursor::pos());
            });
    statusItem->show();
}

void TarvessaAudioServerAppDelegate::updateMenu(const ServerState& state)
{
    serverState = state;
    const MenuAppearance look = menuAppearanceFor(state, serverProcess != nullptr);
    // A failure text is shown as it stands: "&" is not a mnemonic here.
    statusMenuItem->setText(
        QString(look.statusTitle).replace(QLatin1Char('&'), QStringLiteral("&&")));
    toggleServerMenuItem->setText(look.toggleTitle);
    toggleServerMenuItem->setEnabled(look.toggleEnabled);
    restartServerMenuItem->setEnabled(look.restartEnabled);
    if (statusItem) {
        statusItem->setIcon(m_trayIcons[static_cast<size_t>(look.icon)]);
        statusItem->setToolTip(toolTipFor(look.statusTitle));
    }
}

void TarvessaAudioServerAppDelegate::menuWillOpen()
{
    refreshStartAtLoginMenuItem();
}
