#pragma once

// Screenshot keys held by this process for its whole run, so that the
// desktop's screenshot tools do not receive them. On Windows the keys are
// registered as hotkeys of the GUI thread; on an X11 desktop they are
// grabbed on the root window. On Wayland, and on platforms without either,
// nothing can be held.
namespace AntiPiracy {

// Takes the keys and installs the filter that swallows them, once per
// process; later calls only repeat the first answer. Returns true only when
// every screenshot key combination is held, so that a notice never claims
// more than is in force. Needs the QGuiApplication to exist.
bool installHotkeyFilter();

// Gives the keys back and removes the filter. Runs by itself when the
// application object goes away; calling it earlier is allowed.
void removeHotkeyFilter();

// How many screenshot key presses were swallowed so far in this process.
int swallowedKeyPresses();

}  // namespace AntiPiracy
