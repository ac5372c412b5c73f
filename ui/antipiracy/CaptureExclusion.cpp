#include "CaptureExclusion.h"

#include <QWidget>

#ifdef Q_OS_WIN
#include "WinCaptureExclusion.h"
#endif

namespace AntiPiracy {

bool applyCaptureExclusion(QWidget* window)
{
    if (!window) {
        return false;
    }
#ifdef Q_OS_WIN
    // winId() creates the native window when it does not exist yet.
    const WId handle = window->window()->winId();
    return handle != 0 && WinCaptureExclusion::exclude(static_cast<std::uintptr_t>(handle));
#else
    return false;
#endif
}

}  // namespace AntiPiracy
