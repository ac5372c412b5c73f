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

    // Takes the keys, each on its own.
    HotkeyHold take();

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
HotkeyHold g_hold;
int g_swallowedBefore = 0;  // presses counted by filters already removed

HotkeyFilter::~HotkeyFilter()
{
#ifdef Q_OS_WIN
    WinHotkeys::unregister(m_ids);
#elif defined(Q_OS_LINUX)
    m_grab.reset();
#endif
}

#if defined(Q_OS_WIN) || defined(Q_OS_LINUX)
// The platform layer's names, for the notice.
HotkeyHold holdOf(const ScreenshotKeys::Outcome& outcome)
{
    HotkeyHold hold;
    for (const std::string& name : outcome.held) {
        hold.held.append(QString::fromStdString(name));
    }
    for (const std::string& name : outcome.refused) {
        hold.refused.append(QString::fromStdString(name));
    }
    return hold;
}
#endif

HotkeyHold HotkeyFilter::take()
{
#ifdef Q_OS_WIN
    return holdOf(WinHotkeys::registerScreenshotKeys(&m_ids));
#elif defined(Q_OS_LINUX)
    // Under Wayland the compositor owns the keyboard: an X client's grab on
    // the XWayland root does not keep the desktop's screenshot tool away.
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return {};
    }
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) {
        return {};
    }
    m_grab = std::make_unique<X11KeyGrab>(x11->connection());
    // Whatever X refused is in the outcome, named; the rest is held.
    m_grab->grab();
    return holdOf(m_grab->outcome());
#else
    return {};
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

HotkeyHold installHotkeyFilter()
{
    if (g_filter) {
        return g_hold;
    }
    if (!QCoreApplication::instance()) {
        return {};
    }
    g_filter = new HotkeyFilter;
    g_hold = g_filter->take();
    QCoreApplication::instance()->installNativeEventFilter(g_filter);
    // Post routines run while the application, and with it the connection
    // to the display, still exists.
    qAddPostRoutine(removeHotkeyFilter);
    return g_hold;
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
    g_hold = {};
}

int swallowedKeyPresses()
{
    return g_swallowedBefore + (g_filter ? g_filter->swallowed : 0);
}

}  // namespace AntiPiracy
