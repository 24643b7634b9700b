#pragma once

#include "base/file_error.h"

#include <QString>

// The registration that starts the application at login, read afresh on every call.
class LoginItemService
{
public:
    // The service's own numbers; anything else is possible in principle.
    static constexpr int NotRegistered = 0;
    static constexpr int Enabled = 1;
    static constexpr int RequiresApproval = 2;
    static constexpr int NotFound = 3;

    virtual ~LoginItemService() = default;
    virtual int status() = 0;
    // Each fails with the system's description of why.
    virtual Expected<void> registerItem() = 0;
    virtual Expected<void> unregisterItem() = 0;
    virtual void openSettings() = 0;
    // The folder whose changes may change the status (watched so the menu stays current).
    virtual QString watchedFolder() const { return {}; }
};
