#pragma once

#include <QStringList>

struct LaunchOptions
{
    bool launchedAtLogin = false; // --autostart, written on the autostart entry's Exec line
    QStringList unknownOptions;
};

// The application's own arguments (Qt's have already been taken out by QApplication).
LaunchOptions parseLaunchOptions(const QStringList& arguments);
