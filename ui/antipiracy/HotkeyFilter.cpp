#include "HotkeyFilter.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <memory>

#ifdef Q_OS_WIN
#include "WinHotkeys.h"
#elif defined(Q_OS_LINUX)
#include "X11KeyGrab.h"
#endif

namespace AntiPiracy {

namespace {

class HotkeyFilter : public QAbstractNativeEventFilter
{
public:
    ~HotkeyFilter() override;
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    // Takes the keys; true when all of them are held.
    bool take();

    int swallowed = 0;  // GUI thread only

private:
#ifdef Q_OS_WIN
    std::vector<int> m_ids;
#elif defined(Q_OS_LINUX)
    std::unique_ptr<X11KeyGrab> m_grab;
#endif
};

// The one filter of the process, and the answer of the first install. GUI thread only.
HotkeyFilter* g_filter = nullptr;
bool g_allHeld = false;
int g_swallowedBefore = 0;  // presses counted by filters already removed

HotkeyFilter::~HotkeyFilter()
{
#ifdef Q_OS_WIN
    WinHotkeys::unregister(m_ids);
#elif defined(Q_OS_LINUX)
    m_grab.reset();
#endif
}

bool HotkeyFilter::take()
{
#ifdef Q_OS_WIN
    m_ids = WinHotkeys::registerScreenshotKeys();
    return static_cast<int>(m_ids.size()) == WinHotkeys::screenshotKeyCount();
#elif defined(Q_OS_LINUX)
    // Under Wayland the compositor owns the keyboard: an X client's grab on
    // the XWayland root does not keep the desktop's screenshot tool away.
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return false;
    }
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) {
        return false;
    }
    m_grab = std::make_unique<X11KeyGrab>(x11->connection());
    return m_grab->grab();
#else
    return false;
#endif
}

bool HotkeyFilter::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result)
{
    Q_UNUSED(result);
#ifdef Q_OS_WIN
    if ((eventType == "windows_generic_MSG" || eventType == "windows_dispatcher_MSG") &&
        WinHotkeys::isHotkeyMessage(message)) {
        ++swallowed;
        return true;
    }
#elif defined(Q_OS_LINUX)
    bool isPress = false;
    if (m_grab && eventType == "xcb_generic_event_t" &&
        m_grab->isGrabbedKeyEvent(message, &isPress)) {
        if (isPress) {
            ++swallowed;
        }
        return true;
    }
#else
    Q_UNUSED(eventType);
    Q_UNUSED(message);
#endif
    return false;
}

}  // namespace

bool installHotkeyFilter()
{
    if (g_filter) {
        return g_allHeld;
    }
    if (!QCoreApplication::instance()) {
        return false;
    }
    g_filter = new HotkeyFilter;
    g_allHeld = g_filter->take();
    QCoreApplication::instance()->installNativeEventFilter(g_filter);
    // Post routines run while the application, and with it the connection
    // to the display, still exists.
    qAddPostRoutine(removeHotkeyFilter);
    return g_allHeld;
}

void removeHotkeyFilter()
{
    if (!g_filter) {
        return;
    }
    if (QCoreApplication::instance()) {
        QCoreApplication::instance()->removeNativeEventFilter(g_filter);
    }
    g_swallowedBefore += g_filter->swallowed;
    delete g_filter;
    g_filter = nullptr;
    g_allHeld = false;
}

int swallowedKeyPresses()
{
    return g_swallowedBefore + (g_filter ? g_filter->swallowed : 0);
}

}  // namespace AntiPiracy
