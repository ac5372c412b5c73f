#pragma once

#include <cstdint>

// Edge resizing of a frameless window on Windows: answers WM_NCHITTEST with
// the resize codes for the bands along the window's edges, so the system's
// own sizing loop runs. Plain C++ without Qt.
namespace WinEdgeHitTest {

// message is the MSG* Qt hands to nativeEvent; fullScreen is the window's
// full-screen state, which Windows does not keep (Qt only resizes the window
// over the screen). Returns true with *result set when the message is a
// hit-test inside a band of a window that is neither maximised nor full
// screen, and with HTCLIENT anywhere on one that is; false when the default
// handling should decide.
bool handle(void* message, bool fullScreen, std::intptr_t* result);

}  // namespace WinEdgeHitTest
