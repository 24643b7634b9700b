#pragma once

#include "base/base_folders.h"
#include "base/product.h"

#include <QString>
#include <array>

inline constexpr auto LegacyBundleIdentifier = "io.quarle.quarle-server";

// Every place the server's files live, computed afresh from the base folders on each use.
class RuntimeLocations
{
public:
    explicit RuntimeLocations(const BaseFolders& base) : m_base(base) {}

    QString dataFolder() const;
    QString artworkCacheFolder() const;
    QString managedCaddyFolder() const;
    QString streamingCacheFolder() const;
    QString caddyRuntimeFolder() const;
    QString cacheFolder() const;
    QString logFolder() const;

    QString serverLogFile() const;
    QString previousServerLogFile() const;
    QString databaseFile() const;
    QString externalProxyConfigFile() const;

    QString resourcesFolder() const;
    QString serverAppFolder() const;
    QString serverEntryScript() const;
    QString nodeRuntime() const;
    QString helpersFolder() const;
    QString helper(const QString& name) const;

    struct LegacyMove
    {
        QString from;
        QString to;
    };
    std::array<LegacyMove, 3> legacyMoves() const;
    // The folders that must exist before a start, in the order they are created.
    std::array<QString, 7> runtimeFolders() const;

private:
    const BaseFolders& m_base;
};
