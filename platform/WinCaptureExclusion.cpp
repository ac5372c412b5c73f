#include "WinCaptureExclusion.h"

#include <windows.h>

// Older SDK headers know only WDA_MONITOR.
#ifndef WDA_EXCLUDEFROMCAPTURE
#define WDA_EXCLUDEFROMCAPTURE 0x00000011
#endif

bool WinCaptureExclusion::exclude(std::uintptr_t nativeWindow)
{
    if (nativeWindow == 0) {
        return false;
    }
    HWND window = reinterpret_cast<HWND>(nativeWindow);
    return SetWindowDisplayAffinity(window, WDA_EXCLUDEFROMCAPTURE) != FALSE;
}
