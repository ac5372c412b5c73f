#pragma once

#include <cstdint>

// Hands a window to the system's own move loop, as if the user had pressed on
// its caption; the loop follows the pointer until the button is released and
// knows about screen edges and snapping. Windows has such a loop for any
// window; elsewhere the caller asks the desktop through Qt instead.
class NativeWindowMove
{
public:
    NativeWindowMove() = delete;

    // windowHandle is the native window handle (an HWND on Windows). Returns
    // true when the system's loop ran, false where there is none or the
    // handle is null.
    static bool begin(std::uintptr_t windowHandle);
};
