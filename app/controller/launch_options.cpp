#include "launch_options.h"

LaunchOptions parseLaunchOptions(const QStringList& arguments)
{
    LaunchOptions options;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--autostart"))
            options.launchedAtLogin = true;
        else
            options.unknownOptions.append(arguments[i]);
    }
    return options;
}
