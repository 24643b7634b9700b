#include "server/server_environment.h"

QProcessEnvironment buildServerEnvironment(const QProcessEnvironment& inherited,
                                           const RuntimeLocations& locations, qint64 port)
{
    QProcessEnvironment environment = inherited;
    const QString helpers = locations.helpersFolder();
    QString basePath = environment.value(QStringLiteral("PATH"));
    if (basePath.isEmpty())
        basePath = QStringLiteral("/usr/bin:/bin:/usr/sbin:/sbin");

    environment.insert(QStringLiteral("NODE_ENV"), QStringLiteral("production"));
    environment.insert(QStringLiteral("PORT"), QString::number(port));
    environment.insert(QStringLiteral("QUARLE_APP_MODE"), QStringLiteral("quarle"));
    environment.insert(QStringLiteral("QUARLE_SECURE_COOKIES"), QStringLiteral("auto"));
    // The user's own choice, even an empty one, wins over the default.
    if (!environment.contains(QStringLiteral("QUARLE_WRITE_BACK_ENABLED")))
        environment.insert(QStringLiteral("QUARLE_WRITE_BACK_ENABLED"), QStringLiteral("true"));
    environment.insert(QStringLiteral("QUARLE_DB_PATH"), locations.databaseFile());
    environment.insert(QStringLiteral("QUARLE_ARTWORK_CACHE_DIR"), locations.artworkCacheFolder());
    environment.insert(QStringLiteral("QUARLE_STREAMING_DERIVATIVE_DIR"),
                       locations.streamingCacheFolder());
    environment.insert(QStringLiteral("QUARLE_TAG_WRITER_BIN"),
                       locations.helper(QStringLiteral("quarle-tag-writer")));
    environment.insert(QStringLiteral("QUARLE_FOLDER_PICKER_BIN"),
                       locations.helper(QStringLiteral("TarvessaFolderPicker")));
    environment.insert(QStringLiteral("QUARLE_MANAGED_CADDY_BIN"),
                       locations.helper(QStringLiteral("caddy")));
    environment.insert(QStringLiteral("QUARLE_MANAGED_CADDY_DIR"), locations.managedCaddyFolder());
    environment.insert(QStringLiteral("QUARLE_MANAGED_CADDY_RUNTIME_DIR"),
                       locations.caddyRuntimeFolder());
    environment.insert(QStringLiteral("QUARLE_EXTERNAL_PROXY_CONFIG_PATH"),
                       locations.externalProxyConfigFile());
    environment.insert(QStringLiteral("TMPDIR"), locations.cacheFolder());
    environment.insert(QStringLiteral("PATH"), helpers + QLatin1Char(':') + basePath);
    return environment;
}
