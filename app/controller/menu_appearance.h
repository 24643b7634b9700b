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

// The four tray icons: a hollow circle, a dotted circle, a filled circle and an exclamation
// mark in a circle, drawn at the sizes tray hosts ask for.
QIcon trayIcon(TrayIconKind kind);
