#pragma once

// No Qt here, like the Windows layer: the caller hands in the X connection.
#include <cstdint>
#include <string>
#include <vector>

#include "ScreenshotKeys.h"

struct xcb_connection_t;

// The screenshot keys of an X11 desktop, grabbed on the root windows so that
// the desktop's screenshot tool does not receive them while we hold them:
// Print with every combination of Shift, Ctrl, Alt and Super, and
// Super+Shift+S, each also with Caps Lock and Num Lock on, since X matches
// modifiers exactly. Other clients' grabs win: X refuses ours for those.
class X11KeyGrab
{
public:
    // Every screen's root window of the connection is grabbed on.
    explicit X11KeyGrab(xcb_connection_t* connection);
    ~X11KeyGrab();
    X11KeyGrab(const X11KeyGrab&) = delete;
    X11KeyGrab& operator=(const X11KeyGrab&) = delete;

    // Asks for every grab; returns true only when all of them were granted.
    // A combination refused for one lock state or one screen counts as
    // refused as a whole in outcome(); what was granted is held all the same.
    bool grab();
    // Each combination by name ("Ctrl+PrintScreen", "Super+Shift+S"), held
    // or refused, as the last grab() left them.
    const ScreenshotKeys::Outcome& outcome() const { return m_outcome; }
    // Gives back what was granted. Safe to call twice.
    void release();

    // How many grabs are held.
    int held() const { return static_cast<int>(m_held.size()); }

    // Whether an event (an xcb_generic_event_t*) is a press or release of a
    // grabbed key, delivered to us because of the grab. isPress tells which.
    bool isGrabbedKeyEvent(const void* event, bool* isPress) const;

private:
    struct Grab
    {
        std::uint32_t root;
        std::uint8_t keycode;
        std::uint16_t modifiers;
        std::size_t combination;  // index into m_names
    };

    std::vector<std::uint8_t> keycodesFor(std::uint32_t keysym) const;

    xcb_connection_t* m_connection;  // owned by the caller, outlives this object
    std::vector<Grab> m_held;
    std::vector<std::string> m_names;  // the combinations of the last grab()
    ScreenshotKeys::Outcome m_outcome;
};
