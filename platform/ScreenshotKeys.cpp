#include "ScreenshotKeys.h"

namespace ScreenshotKeys {

namespace {

// The values of windows.h, which this file does not include.
constexpr unsigned kModAlt = 0x0001;
constexpr unsigned kModControl = 0x0002;
constexpr unsigned kModShift = 0x0004;
constexpr unsigned kModWin = 0x0008;
constexpr unsigned kVkSnapshot = 0x2C;
constexpr unsigned kVkS = 0x53;

}  // namespace

const std::vector<Hotkey>& windowsHotkeys()
{
    static const std::vector<Hotkey> hotkeys{
        {1, "PrintScreen", 0, kVkSnapshot},
        {2, "Alt+PrintScreen", kModAlt, kVkSnapshot},
        {3, "Win+PrintScreen", kModWin, kVkSnapshot},
        {4, "Ctrl+PrintScreen", kModControl, kVkSnapshot},
        {5, "Win+Shift+S", kModWin | kModShift, kVkS},
    };
    return hotkeys;
}

Outcome take(const std::vector<Hotkey>& hotkeys,
             const std::function<bool(const Hotkey&)>& registrar, std::vector<int>* heldIds)
{
    Outcome outcome;
    for (const Hotkey& hotkey : hotkeys) {
        if (registrar(hotkey)) {
            outcome.held.emplace_back(hotkey.name);
            if (heldIds) {
                heldIds->push_back(hotkey.id);
            }
        } else {
            outcome.refused.emplace_back(hotkey.name);
        }
    }
    return outcome;
}

}  // namespace ScreenshotKeys
