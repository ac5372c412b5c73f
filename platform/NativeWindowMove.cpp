#include "NativeWindowMove.h"

#ifdef _WIN32
#include <windows.h>
#endif

bool NativeWindowMove::begin(std::uintptr_t windowHandle)
{
#ifdef _WIN32
    if (windowHandle == 0) {
        return false;
    }
    HWND hwnd = reinterpret_cast<HWND>(windowHandle);
    // The press gave this window the mouse capture; the system's loop needs
    // it back before it can track the pointer itself.
    ReleaseCapture();
    SendMessageW(hwnd, WM_NCLBUTTONDOWN, HTCAPTION, 0);
    return true;
#else
    static_cast<void>(windowHandle);
    return false;
#endif
}
