#include "server/locations.h"

#include <unistd.h>

namespace {
QString join(const QString& folder, const QString& name)
{
    return folder + QLatin1Char('/') + name;
}
} // namespace

QString RuntimeLocations::dataFolder() const
{
    return join(m_base.dataHome(), displayName());
}

QString RuntimeLocations::artworkCacheFolder() const
{
    return join(dataFolder(), QStringLiteral("artwork-cache"));
}

QString RuntimeLocations::managedCaddyFolder() const
{
    return join(dataFolder(), QStringLiteral("managed-caddy"));
}

QString RuntimeLocations::streamingCacheFolder() const
{
    return join(dataFolder(), QStringLiteral("streaming-cache"));
}

QString RuntimeLocations::caddyRuntimeFolder() const
{
    // Named after the user so that two users of one machine never share it.
    return join(m_base.sharedTempFolder(),
                QStringLiteral("tarvessa-caddy-") + QString::number(::getuid()));
}

QString RuntimeLocations::cacheFolder() const
{
    return join(m_base.cacheHome(), applicationId());
}

QString RuntimeLocations::logFolder() const
{
    return join(m_base.stateHome(), displayName());
}

QString RuntimeLocations::serverLogFile() const
{
    return join(logFolder(), QStringLiteral("server.log"));
}

QString RuntimeLocations::previousServerLogFile() const
{
    return join(logFolder(), QStringLiteral("server.previous.log"));
}

QString RuntimeLocations::databaseFile() const
{
    return join(dataFolder(), QStringLiteral("quarle.sqlite"));
}

QString RuntimeLocations::externalProxyConfigFile() const
{
    return join(dataFolder(), QStringLiteral("external-proxy.json"));
}

QString RuntimeLocations::resourcesFolder() const
{
    return m_base.resourcesFolder();
}

QString RuntimeLocations::serverAppFolder() const
{
    return join(resourcesFolder(), QStringLiteral("app"));
}

QString RuntimeLocations::serverEntryScript() const
{
    return join(serverAppFolder(), QStringLiteral("build/server/index.js"));
}

QString RuntimeLocations::nodeRuntime() const
{
    return join(resourcesFolder(), QStringLiteral("runtime/bin/node"));
}

QString RuntimeLocations::helpersFolder() const
{
    return join(resourcesFolder(), QStringLiteral("helpers"));
}

QString RuntimeLocations::helper(const QString& name) const
{
    return join(helpersFolder(), name);
}

std::array<RuntimeLocations::LegacyMove, 3> RuntimeLocations::legacyMoves() const
{
    return {{
        {join(m_base.dataHome(), QStringLiteral("Quarle Server")), dataFolder()},
        {join(m_base.cacheHome(), QString::fromLatin1(LegacyBundleIdentifier)), cacheFolder()},
        {join(m_base.stateHome(), QStringLiteral("Quarle Server")), logFolder()},
    }};
}

std::array<QString, 7> RuntimeLocations::runtimeFolders() const
{
    return {
        dataFolder(),         artworkCacheFolder(), managedCaddyFolder(), streamingCacheFolder(),
        caddyRuntimeFolder(), cacheFolder(),        logFolder()};
}
