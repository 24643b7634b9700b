#pragma once

#include "controller/server_state.h"

#include <QIcon>
#include <QString>

enum class TrayIconKind
{
    stopped,
    starting,
    running,
    failed
};

// How the menu's server rows and the tray icon look for one state.
struct MenuAppearance
{
    QString statusTitle;
    QString toggleTitle;
    bool toggleEnabled = true;
    bool restartEnabled = false;
    TrayIconKind icon = TrayIconKind::stopped;
};

// A running server is shown as the application's own when it owns a server process.
MenuAppearance menuAppearanceFor(const ServerState& state, bool ownsServerProcess);

// The four tray icons: a stop mark, a ring of dots, a disc with a play mark and an
// exclamation mark in a ring, light figures in a dark rim, each drawn when a host first asks
// for it at a size.
QIcon trayIcon(TrayIconKind kind);

// A dash in a box: the mixed check state of "Start at Login", which a tray menu cannot show.
QIcon approvalPendingIcon();
