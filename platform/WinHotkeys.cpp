#include "WinHotkeys.h"

#include <windows.h>

namespace {

struct Hotkey
{
    int id;
    UINT modifiers;
    UINT key;
};

constexpr UINT kKeyS = 0x53;

// Ids start at 1: 0 is not a valid hotkey id for the thread queue.
constexpr Hotkey kScreenshotKeys[] = {
    {1, 0, VK_SNAPSHOT},           {2, MOD_ALT, VK_SNAPSHOT},       {3, MOD_WIN, VK_SNAPSHOT},
    {4, MOD_CONTROL, VK_SNAPSHOT}, {5, MOD_WIN | MOD_SHIFT, kKeyS},
};

}  // namespace

std::vector<int> WinHotkeys::registerScreenshotKeys()
{
    std::vector<int> registered;
    for (const Hotkey& hotkey : kScreenshotKeys) {
        // No window: the message goes to this thread's queue.
        if (RegisterHotKey(nullptr, hotkey.id, hotkey.modifiers | MOD_NOREPEAT, hotkey.key)) {
            registered.push_back(hotkey.id);
        }
    }
    return registered;
}

int WinHotkeys::screenshotKeyCount()
{
    return static_cast<int>(sizeof(kScreenshotKeys) / sizeof(kScreenshotKeys[0]));
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
