#pragma once

// No Qt here: this layer is compiled for Windows only and is syntax-checked
// with a cross compiler that has no Qt.
#include <vector>

#include "ScreenshotKeys.h"

// The usual screenshot key combinations, taken as global hotkeys of the
// calling thread so that screenshot tools do not receive them while we hold
// them.
class WinHotkeys
{
public:
    WinHotkeys() = delete;

    // Registers ScreenshotKeys::windowsHotkeys(), each on its own: one that
    // another program owns is refused and the others are still taken. The
    // ids registered are appended to heldIds.
    static ScreenshotKeys::Outcome registerScreenshotKeys(std::vector<int>* heldIds);

    // Gives back the ids registerScreenshotKeys took.
    static void unregister(const std::vector<int>& ids);

    // Whether a native message (a MSG*) is a hotkey message.
    static bool isHotkeyMessage(const void* message);
};
