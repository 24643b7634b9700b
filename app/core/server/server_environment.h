#pragma once

#include "server/locations.h"

#include <QProcessEnvironment>

// The server's whole environment: what the application inherited, with the server's folders,
// port, mode and helper paths set over it, and the helpers folder first on the search path.
QProcessEnvironment buildServerEnvironment(const QProcessEnvironment& inherited,
                                           const RuntimeLocations& locations, qint64 port);
