#pragma once

#include <cstdint>

// Edge resizing of a frameless window on Windows: answers WM_NCHITTEST with
// the resize codes for the bands along the window's edges, so the system's
// own sizing loop runs. Plain C++ without Qt.
namespace WinEdgeHitTest {

// message is the MSG* Qt hands to nativeEvent. Returns true with *result set
// when the message is a hit-test inside a band of a window that is not
// maximised; false when the default handling should decide.
bool handle(void* message, std::intptr_t* result);

}  // namespace WinEdgeHitTest
