// The tray icon and its menu: built once at launch, redrawn by updateMenu().
#include "base/product.h"
#include "controller/app_delegate.h"
#include "controller/menu_appearance.h"

#include <QAction>
#include <QMenu>

namespace {
// The tool tip's title; the state is its body, for the panels that show one on hover (KDE, XFCE).
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
    add(QStringLiteral("Open %1").arg(displayName()), &D::openWebInterface, Qt::CTRL | Qt::Key_O);
    m_statusMenuItem = add(QStringLiteral("Server stopped"), nullptr);
    statusMenuItem->setEnabled(false);
    m_addressMenuItem = add(serverURL.toString(), &D::copyAddress);
    menu->addSeparator();
    m_toggleServerMenuItem = add(QStringLiteral("Start Server"), &D::toggleServer);
    m_restartServerMenuItem =
        add(QStringLiteral("Restart Server"), &D::restartServer, Qt::CTRL | Qt::Key_R);
    menu->addSeparator();
    m_startAtLoginMenuItem = add(QStringLiteral("Start at Login"), &D::toggleStartAtLogin);
    startAtLoginMenuItem->setCheckable(true);
    menu->addSeparator();
    add(QStringLiteral("Show Data Folder"), &D::showDataFolder);
    add(QStringLiteral("Show Server Log"), &D::showServerLog, Qt::CTRL | Qt::Key_L);
    menu->addSeparator();
    add(QStringLiteral("Quit %1").arg(displayName()), &D::quitApplication, Qt::CTRL | Qt::Key_Q);

    connect(menu, &QMenu::aboutToShow, this, &TarvessaAudioServerAppDelegate::menuWillOpen);
}

void TarvessaAudioServerAppDelegate::attachStatusItem()
{
    if (!m_services.makeStatusItem)
        return;
    m_statusItem = m_services.makeStatusItem();
    const MenuAppearance look = menuAppearanceFor(serverState, serverProcess != nullptr);
    statusItem->setIcon(m_trayIcons[static_cast<size_t>(look.icon)]);
    statusItem->setMenu(m_statusMenu.get());
    statusItem->setToolTip(displayName(), look.statusTitle);
    statusItem->setNeedsAttention(look.icon == TrayIconKind::failed,
                                  m_trayIcons[static_cast<size_t>(TrayIconKind::failed)]);
    statusItem->show();
}

void TarvessaAudioServerAppDelegate::updateMenu(const ServerState& state)
{
    m_serverState = state;
    if (!m_statusMenu)
        return; // only recorded: no menu to redraw yet, and the launch redraws it once built
    const MenuAppearance look = menuAppearanceFor(state, serverProcess != nullptr);
    // A failure text is shown as it stands: "&" is not a mnemonic here.
    statusMenuItem->setText(
        QString(look.statusTitle).replace(QLatin1Char('&'), QStringLiteral("&&")));
    toggleServerMenuItem->setText(look.toggleTitle);
    toggleServerMenuItem->setEnabled(look.toggleEnabled);
    restartServerMenuItem->setEnabled(look.restartEnabled);
    if (statusItem) {
        statusItem->setIcon(m_trayIcons[static_cast<size_t>(look.icon)]);
        statusItem->setToolTip(displayName(), look.statusTitle);
        statusItem->setNeedsAttention(look.icon == TrayIconKind::failed,
                                      m_trayIcons[static_cast<size_t>(TrayIconKind::failed)]);
    }
}

// An external server is not watched: whether it still answers is asked each time the menu
// opens, so that one that has gone is shown stopped and can be started again.
void TarvessaAudioServerAppDelegate::menuWillOpen()
{
    refreshStartAtLoginMenuItem();
    if (serverProcess || serverState != ServerState::running())
        return;
    probeServer([self = QPointer(this), stops = m_stops](bool compatible) {
        if (self && !compatible && self->noStopSince(stops) && !self->serverProcess &&
            self->serverState == ServerState::running())
            self->updateMenu(ServerState::stopped());
    });
}
