#pragma once

#include <QObject>
#include <QString>

#if defined(Q_OS_LINUX)
#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#endif

// Keeps the screen from dimming, locking or starting its saver while a video
// plays: a viewer watching a lecture touches neither mouse nor keyboard for
// an hour. Held while playing, released on pause, stop and destruction.
//
// Linux asks the desktop's screen-saver service (org.freedesktop.ScreenSaver
// on the session bus) and never waits for it: the answer, with the cookie
// that releases the hold, arrives later, and a release asked for before it
// came is carried out when it does. Windows marks the GUI thread's execution
// state. Where neither is to be had (no session bus, no such service), the
// hold is simply not in force and isHeld() says so. GUI thread only.
class ScreenAwake : public QObject
{
    Q_OBJECT

public:
    explicit ScreenAwake(QObject* parent = nullptr);
#if defined(Q_OS_LINUX)
    // For a private bus in tests; the session bus otherwise.
    ScreenAwake(const QDBusConnection& bus, QObject* parent = nullptr);
#endif
    ~ScreenAwake() override;

    ScreenAwake(const ScreenAwake&) = delete;
    ScreenAwake& operator=(const ScreenAwake&) = delete;

    // Asks for the hold (true) or gives it back (false); repeated wishes are
    // free. `reason` is what the desktop may show for the hold.
    void setWanted(bool wanted, const QString& reason = QString());
    bool isWanted() const
    {
        return m_wanted;
    }
    // True once the system confirmed the hold, until it is given back.
    bool isHeld() const
    {
        return m_held;
    }

signals:
    // The hold came into force or ended (also when the system refused it).
    void heldChanged(bool held);

private:
    void acquire(const QString& reason);
    void release();
    void setHeld(bool held);

    bool m_wanted = false;
    bool m_held = false;
#if defined(Q_OS_LINUX)
    void onInhibitAnswer(bool ok, uint cookie);

    void sendUnInhibit(uint cookie);

    QDBusConnection m_bus;
    bool m_asking = false;                        // an Inhibit call is on its way
    QDBusPendingCallWatcher* m_answer = nullptr;  // that call, while on its way
    uint m_cookie = 0;                            // valid while m_held
#endif
};
