#include "X11KeyGrab.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

constexpr std::uint32_t kKeysymPrint = 0xff61;
constexpr std::uint32_t kKeysymLowerS = 0x0073;
constexpr std::uint32_t kKeysymUpperS = 0x0053;

// The conventional modifier bits of Alt and Super, and of Num Lock.
constexpr std::uint16_t kAlt = XCB_MOD_MASK_1;
constexpr std::uint16_t kSuper = XCB_MOD_MASK_4;
constexpr std::uint16_t kNumLock = XCB_MOD_MASK_2;
constexpr std::uint16_t kLockStates[] = {0, XCB_MOD_MASK_LOCK, kNumLock,
                                         XCB_MOD_MASK_LOCK | kNumLock};

struct FreeDeleter
{
    void operator()(void* p) const { std::free(p); }
};

// A combination as a viewer types it: "Ctrl+Alt+PrintScreen".
std::string comboName(std::uint16_t modifiers, const char* key)
{
    std::string name;
    if (modifiers & XCB_MOD_MASK_CONTROL) {
        name += "Ctrl+";
    }
    if (modifiers & kAlt) {
        name += "Alt+";
    }
    if (modifiers & kSuper) {
        name += "Super+";
    }
    if (modifiers & XCB_MOD_MASK_SHIFT) {
        name += "Shift+";
    }
    return name + key;
}

}  // namespace

X11KeyGrab::X11KeyGrab(xcb_connection_t* connection) : m_connection(connection) {}

X11KeyGrab::~X11KeyGrab()
{
    release();
}

std::vector<std::uint8_t> X11KeyGrab::keycodesFor(std::uint32_t keysym) const
{
    std::vector<std::uint8_t> found;
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    const std::uint8_t first = setup->min_keycode;
    const std::uint8_t count = static_cast<std::uint8_t>(setup->max_keycode - first + 1);
    xcb_get_keyboard_mapping_cookie_t cookie = xcb_get_keyboard_mapping(m_connection, first, count);
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, FreeDeleter> reply(
        xcb_get_keyboard_mapping_reply(m_connection, cookie, nullptr));
    if (!reply || reply->keysyms_per_keycode == 0) {
        return found;
    }
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int perKey = reply->keysyms_per_keycode;
    const int total = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    for (int i = 0; i < total; ++i) {
        if (syms[i] == keysym) {
            const auto keycode = static_cast<std::uint8_t>(first + i / perKey);
            if (std::find(found.begin(), found.end(), keycode) == found.end()) {
                found.push_back(keycode);
            }
        }
    }
    return found;
}

bool X11KeyGrab::grab()
{
    release();
    m_names.clear();
    m_outcome = {};
    if (!m_connection || xcb_connection_has_error(m_connection)) {
        return false;
    }

    std::vector<std::uint32_t> roots;
    for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
         it.rem > 0; xcb_screen_next(&it)) {
        roots.push_back(it.data->root);
    }

    std::vector<Grab> wanted;
    const std::vector<std::uint8_t> printKeys = keycodesFor(kKeysymPrint);
    for (std::uint16_t combo = 0; combo < 16 && !printKeys.empty(); ++combo) {
        const std::uint16_t modifiers = ((combo & 1) ? XCB_MOD_MASK_SHIFT : 0) |
                                        ((combo & 2) ? XCB_MOD_MASK_CONTROL : 0) |
                                        ((combo & 4) ? kAlt : 0) | ((combo & 8) ? kSuper : 0);
        m_names.push_back(comboName(modifiers, "PrintScreen"));
        for (std::uint8_t keycode : printKeys) {
            wanted.push_back({0, keycode, modifiers, m_names.size() - 1});
        }
    }
    std::vector<std::uint8_t> sKeys = keycodesFor(kKeysymLowerS);
    for (std::uint8_t keycode : keycodesFor(kKeysymUpperS)) {
        if (std::find(sKeys.begin(), sKeys.end(), keycode) == sKeys.end()) {
            sKeys.push_back(keycode);
        }
    }
    if (!sKeys.empty()) {
        const auto modifiers = static_cast<std::uint16_t>(kSuper | XCB_MOD_MASK_SHIFT);
        m_names.push_back(comboName(modifiers, "S"));
        for (std::uint8_t keycode : sKeys) {
            wanted.push_back({0, keycode, modifiers, m_names.size() - 1});
        }
    }
    if (wanted.empty()) {
        return false;  // no Print key in this keymap: nothing is protected
    }

    // Send every request first, then collect the answers: one round trip.
    std::vector<std::pair<Grab, xcb_void_cookie_t>> pending;
    for (std::uint32_t root : roots) {
        for (const Grab& g : wanted) {
            for (std::uint16_t lock : kLockStates) {
                const Grab one{root, g.keycode, static_cast<std::uint16_t>(g.modifiers | lock),
                               g.combination};
                pending.emplace_back(
                    one, xcb_grab_key_checked(m_connection, 0, one.root, one.modifiers, one.keycode,
                                              XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
            }
        }
    }
    bool all = true;
    std::vector<bool> refused(m_names.size(), false);
    for (auto& [g, cookie] : pending) {
        std::unique_ptr<xcb_generic_error_t, FreeDeleter> error(
            xcb_request_check(m_connection, cookie));
        if (error) {
            all = false;  // typically BadAccess: another client holds this combination
            refused[g.combination] = true;
        } else {
            m_held.push_back(g);
        }
    }
    for (std::size_t i = 0; i < m_names.size(); ++i) {
        (refused[i] ? m_outcome.refused : m_outcome.held).push_back(m_names[i]);
    }
    return all;
}

void X11KeyGrab::release()
{
    if (m_held.empty()) {
        return;
    }
    if (m_connection && !xcb_connection_has_error(m_connection)) {
        for (const Grab& g : m_held) {
            xcb_ungrab_key(m_connection, g.keycode, g.root, g.modifiers);
        }
        xcb_flush(m_connection);
    }
    m_held.clear();
}

bool X11KeyGrab::isGrabbedKeyEvent(const void* event, bool* isPress) const
{
    const auto* generic = static_cast<const xcb_generic_event_t*>(event);
    if (!generic || m_held.empty()) {
        return false;
    }
    const std::uint8_t type = generic->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) {
        return false;
    }
    // Press and release events share one layout.
    const auto* key = static_cast<const xcb_key_press_event_t*>(event);
    // A key typed into one of our windows is not ours to swallow: only the
    // grabs report on a root window.
    const bool grabbed = std::any_of(m_held.begin(), m_held.end(), [key](const Grab& g) {
        return g.root == key->event && g.keycode == key->detail;
    });
    if (grabbed && isPress) {
        *isPress = type == XCB_KEY_PRESS;
    }
    return grabbed;
}
