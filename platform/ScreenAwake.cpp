#include "ScreenAwake.h"

#include <QCoreApplication>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif defined(Q_OS_LINUX)
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#endif

namespace {
#if defined(Q_OS_LINUX)
const char kService[] = "org.freedesktop.ScreenSaver";
const char kPath[] = "/org/freedesktop/ScreenSaver";
const char kInterface[] = "org.freedesktop.ScreenSaver";
// A desktop that hangs on the call must not leave a hold asked for without
// end; its answer comes long before this or never.
constexpr int kCallTimeoutMs = 5000;
#endif
}  // namespace

#if defined(Q_OS_LINUX)
ScreenAwake::ScreenAwake(QObject* parent) : ScreenAwake(QDBusConnection::sessionBus(), parent) {}

ScreenAwake::ScreenAwake(const QDBusConnection& bus, QObject* parent) : QObject(parent), m_bus(bus)
{}
#else
ScreenAwake::ScreenAwake(QObject* parent) : QObject(parent) {}
#endif

ScreenAwake::~ScreenAwake()
{
    // The desktop drops a leaving client's holds by itself on most systems;
    // giving it back here also covers a page closed while the program stays.
    m_wanted = false;
    if (m_held) {
        release();
    }
}

void ScreenAwake::setWanted(bool wanted, const QString& reason)
{
    if (wanted == m_wanted) {
        return;
    }
    m_wanted = wanted;
    if (wanted) {
        acquire(reason.isEmpty() ? QStringLiteral("正在播放视频") : reason);
    } else {
        release();
    }
}

void ScreenAwake::setHeld(bool held)
{
    if (held != m_held) {
        m_held = held;
        emit heldChanged(held);
    }
}

#if defined(Q_OS_WIN)

void ScreenAwake::acquire(const QString&)
{
    // The display and the system both: a sleeping machine stops the video.
    const EXECUTION_STATE previous =
        SetThreadExecutionState(ES_CONTINUOUS | ES_DISPLAY_REQUIRED | ES_SYSTEM_REQUIRED);
    setHeld(previous != 0);
}

void ScreenAwake::release()
{
    if (m_held) {
        SetThreadExecutionState(ES_CONTINUOUS);
    }
    setHeld(false);
}

#elif defined(Q_OS_LINUX)

void ScreenAwake::acquire(const QString& reason)
{
    if (m_held || m_asking || !m_bus.isConnected()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Inhibit");
    const QString app = QCoreApplication::applicationName().isEmpty()
                            ? QStringLiteral("Veilcast")
                            : QCoreApplication::applicationName();
    call << app << reason;
    m_asking = true;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        w->deleteLater();
        onInhibitAnswer(!reply.isError(), reply.isError() ? 0u : reply.value());
    });
}

void ScreenAwake::onInhibitAnswer(bool ok, uint cookie)
{
    m_asking = false;
    if (!ok) {
        setHeld(false);
        return;
    }
    m_cookie = cookie;
    setHeld(true);
    if (!m_wanted) {
        // Given back while the answer was on its way.
        release();
    }
}

void ScreenAwake::release()
{
    if (!m_held) {
        return;  // nothing yet, or the answer still coming: handled when it does
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "UnInhibit");
    call << m_cookie;
    // No answer is awaited: there is nothing to do if the desktop refused.
    m_bus.send(call);
    m_cookie = 0;
    setHeld(false);
}

#else

void ScreenAwake::acquire(const QString&) {}
void ScreenAwake::release()
{
    setHeld(false);
}

#endif
