#pragma once

#include <QString>

// The application's name as people read it: the menu, the tool tip, alerts, messages, and the
// names of its data and log folders.
inline constexpr char DisplayName[] = "Tarvessa Audio Server";
// Its reverse-domain id: the desktop entry's and the icon's name, the cache folder's, the
// single-instance socket's and the autostart entry's.
inline constexpr char ApplicationId[] = "io.tarvessa.tarvessa-audio-server";

inline QString displayName()
{
    return QLatin1String(DisplayName);
}
inline QString applicationId()
{
    return QLatin1String(ApplicationId);
}
