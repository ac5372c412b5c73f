#pragma once

// No Qt here: this layer is compiled for Windows only and is syntax-checked
// with a cross compiler that has no Qt.
#include <vector>

// The usual screenshot key combinations, taken as global hotkeys of the
// calling thread so that screenshot tools do not receive them while we hold
// them.
class WinHotkeys
{
public:
    WinHotkeys() = delete;

    // Registers PrintScreen alone and with Alt, Win and Ctrl, and Win+Shift+S
    // (ids 1 to 5). A combination that another program owns is skipped.
    // Returns the ids that were registered.
    static std::vector<int> registerScreenshotKeys();

    // How many combinations registerScreenshotKeys tries.
    static int screenshotKeyCount();

    // Gives back the ids returned by registerScreenshotKeys.
    static void unregister(const std::vector<int>& ids);

    // Whether a native message (a MSG*) is a hotkey message.
    static bool isHotkeyMessage(const void* message);
};
