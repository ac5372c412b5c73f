#pragma once

// No Qt here: the Windows layer that uses this is syntax-checked with a cross
// compiler that has no Qt, and the X11 layer keeps to plain C++ as well.
#include <functional>
#include <string>
#include <vector>

// The screenshot key combinations we try to hold, and what came of it. Each
// combination is taken on its own: one that another program owns is refused
// by the system, and the others are held all the same, so the viewer can be
// told exactly which ones are held.
namespace ScreenshotKeys {

// Names as a viewer types them ("Alt+PrintScreen"), in the order tried.
struct Outcome
{
    std::vector<std::string> held;
    std::vector<std::string> refused;
};

// One Windows hotkey: its id for RegisterHotKey (0 is not valid there), its
// MOD_* bits without MOD_NOREPEAT, and its virtual-key code.
struct Hotkey
{
    int id;
    const char* name;
    unsigned modifiers;
    unsigned key;
};

// PrintScreen alone and with Alt, Win and Ctrl, and Win+Shift+S: ids 1 to 5.
const std::vector<Hotkey>& windowsHotkeys();

// Asks registrar to hold each hotkey in turn; it answers whether the hotkey
// is held now. The ids held are appended to heldIds (when given), so they can
// be given back.
Outcome take(const std::vector<Hotkey>& hotkeys,
             const std::function<bool(const Hotkey&)>& registrar,
             std::vector<int>* heldIds = nullptr);

}  // namespace ScreenshotKeys
