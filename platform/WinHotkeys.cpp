#include "WinHotkeys.h"

#include <windows.h>

// ScreenshotKeys writes these values out, as it is compiled without windows.h.
static_assert(MOD_ALT == 0x0001 && MOD_CONTROL == 0x0002 && MOD_SHIFT == 0x0004 &&
                  MOD_WIN == 0x0008 && VK_SNAPSHOT == 0x2C,
              "ScreenshotKeys's copies of the Win32 key codes");

ScreenshotKeys::Outcome WinHotkeys::registerScreenshotKeys(std::vector<int>* heldIds)
{
    return ScreenshotKeys::take(
        ScreenshotKeys::windowsHotkeys(),
        [](const ScreenshotKeys::Hotkey& hotkey) {
            // No window: the message goes to this thread's queue.
            return RegisterHotKey(nullptr, hotkey.id, hotkey.modifiers | MOD_NOREPEAT,
                                  hotkey.key) != FALSE;
        },
        heldIds);
}

void WinHotkeys::unregister(const std::vector<int>& ids)
{
    for (int id : ids) {
        UnregisterHotKey(nullptr, id);
    }
}

bool WinHotkeys::isHotkeyMessage(const void* message)
{
    const MSG* msg = static_cast<const MSG*>(message);
    return msg != nullptr && msg->message == WM_HOTKEY;
}
