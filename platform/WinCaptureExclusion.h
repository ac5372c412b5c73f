#pragma once

// No Qt here: this layer is compiled for Windows only and is syntax-checked
// with a cross compiler that has no Qt.
#include <cstdint>

// Marks a top-level window so that screen capture and recording tools see
// it as blank. Windows 10 2004 and later honour this.
class WinCaptureExclusion
{
public:
    WinCaptureExclusion() = delete;

    // nativeWindow is the window's HWND as an integer. Returns whether the
    // system accepted the mark; a null handle is refused.
    static bool exclude(std::uintptr_t nativeWindow);
};
