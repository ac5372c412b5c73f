#pragma once

// Screenshot keys held by this process for its whole run, so that the
// desktop's screenshot tools do not receive them. On Windows the keys are
// registered as hotkeys of the GUI thread; on an X11 desktop they are
// grabbed on the root window. On Wayland, and on platforms without either,
// nothing can be held.
#include <QStringList>

namespace AntiPiracy {

// Which screenshot key combinations are held, by the names a viewer types.
// Each is taken on its own: one that another program owns is refused, the
// others are held all the same.
struct HotkeyHold
{
    QStringList held;
    QStringList refused;

    // Every combination tried is held (and there was something to hold).
    bool complete() const { return !held.isEmpty() && refused.isEmpty(); }
};

// Takes the keys and installs the filter that swallows them, once per
// process; later calls only repeat the first answer, so that a notice never
// claims more (or less) than is in force. Nothing is held where the platform
// offers no way (Wayland, offscreen): both lists are then empty. Needs the
// QGuiApplication to exist.
HotkeyHold installHotkeyFilter();

// Gives the keys back and removes the filter. Runs by itself when the
// application object goes away; calling it earlier is allowed.
void removeHotkeyFilter();

// How many screenshot key presses were swallowed so far in this process.
int swallowedKeyPresses();

}  // namespace AntiPiracy
