#pragma once

#include "base/file_error.h"
#include "server/locations.h"

// Moves the folders of the product's earlier name to their current places, each only while its
// new place does not exist yet: the two are never merged. Stops at the first failure.
Expected<void> migrateLegacyFolders(const RuntimeLocations& locations);

// Creates the seven folders in order, stopping at the first failure, then makes the Caddy
// runtime folder private (0700). That folder lies in the shared temporary folder, so one that
// is a symbolic link or belongs to another user is refused rather than used.
Expected<void> createRuntimeFolders(const RuntimeLocations& locations);
