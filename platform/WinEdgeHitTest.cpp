#include "WinEdgeHitTest.h"

#include "EdgeBands.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace WinEdgeHitTest {

bool handle(void* message, bool fullScreen, std::intptr_t* result)
{
#ifdef _WIN32
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg == nullptr || result == nullptr || msg->message != WM_NCHITTEST) {
        return false;
    }
    RECT rect;
    if (!GetWindowRect(msg->hwnd, &rect)) {
        return false;
    }
    // Screen coordinates, signed: on a monitor left of or above the primary
    // one they are negative.
    const int x = static_cast<short>(LOWORD(msg->lParam)) - rect.left;
    const int y = static_cast<short>(HIWORD(msg->lParam)) - rect.top;
    const long code = EdgeBands::hitTest(x, y, rect.right - rect.left, rect.bottom - rect.top,
                                         fullScreen || IsZoomed(msg->hwnd));
    if (code == 0) {
        return false;
    }
    *result = code;
    return true;
#else
    static_cast<void>(message);
    static_cast<void>(fullScreen);
    static_cast<void>(result);
    return false;
#endif
}

}  // namespace WinEdgeHitTest
