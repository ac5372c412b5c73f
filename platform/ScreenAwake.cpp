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
#if defined(Q_OS_LINUX)
    if (m_asking && m_answer) {
        // Closed while the desktop's answer is on its way: without its
        // cookie the hold could never be given back. The answer comes in
        // milliseconds; the call's own time-out bounds the wait.
        disconnect(m_answer, nullptr, this, nullptr);
        m_answer->waitForFinished();
        const QDBusPendingReply<uint> reply = *m_answer;
        if (!reply.isError()) {
            sendUnInhibit(reply.value());
        }
        return;
    }
#endif
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
    m_answer = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    connect(m_answer, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        w->deleteLater();
        m_answer = nullptr;
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
    sendUnInhibit(m_cookie);
    m_cookie = 0;
    setHeld(false);
}

void ScreenAwake::sendUnInhibit(uint cookie)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "UnInhibit");
    call << cookie;
    // No answer is awaited: there is nothing to do if the desktop refused.
    m_bus.send(call);
}

#else

void ScreenAwake::acquire(const QString&) {}
void ScreenAwake::release()
{
    setHeld(false);
}

#endif
