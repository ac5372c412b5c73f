#pragma once

#include <QByteArray>

// The operating system's per-user secret protection. On Windows this is
// DPAPI; elsewhere there is no such service and nothing can be unprotected.
class DataProtection
{
public:
    DataProtection() = delete;

    // Whether this platform has a protection service at all.
    static bool available();

    // The plaintext of a blob protected for the current user, or an empty
    // array when the blob cannot be unprotected here (foreign user, damaged
    // blob, plain bytes, or no protection service on this platform).
    static QByteArray unprotect(const QByteArray& blob);
};
