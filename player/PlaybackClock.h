#pragma once

#include <QObject>
#include <atomic>
#include <functional>

// Master clock of a playback: monotonic wall time turned into a media
// position in milliseconds, scaled by the speed, frozen while paused.
//
// Threads: every mutating call comes from the player's thread; the decoder's
// worker thread reads through msUntil() and positionMs() at any moment. The
// four values a reading needs (base, start instant, speed, paused) are
// atomics published under a sequence counter: the single writer makes the
// counter odd, stores, makes it even again; a reader retries when it saw an
// odd or changed counter. So a reader never combines a new base with an old
// start instant, and no operation takes a lock or can block the writer.
class PlaybackClock : public QObject
{
    Q_OBJECT

public:
    // Monotonic nanoseconds from an arbitrary origin. Replaceable so that
    // pacing can be driven deterministically by a test.
    using TimeSource = std::function<qint64()>;

    explicit PlaybackClock(QObject* parent = nullptr);
    explicit PlaybackClock(TimeSource source, QObject* parent = nullptr);

    void restart(qint64 ms);
    qint64 positionMs() const;
    // Positive when t is still ahead of the clock.
    qint64 msUntil(qint64 t) const;
    void pause();
    void resume();
    void setSpeed(double x);
    void seekTo(qint64 ms);
    void reset();

    bool isPaused() const;
    double speed() const;

    static qint64 monotonicNs();

private:
    struct Snapshot
    {
        qint64 baseMs;
        qint64 startNs;
        double speed;
        bool paused;
        qint64 nowNs;  // read while the values above were current
    };

    Snapshot snapshot() const;
    static qint64 positionOf(const Snapshot& s);
    template <typename Fn>
    void publish(Fn&& change);

    TimeSource m_now;  // set at construction, read-only afterwards

    // Written only by the player's thread inside publish(); read by anyone
    // through snapshot().
    std::atomic<quint32> m_sequence{0};
    std::atomic<qint64> m_baseMs{0};   // position when the timer last started
    std::atomic<qint64> m_startNs{0};  // the timer's start instant
    std::atomic<double> m_speed{1.0};  // media ms per wall-clock ms
    std::atomic<bool> m_paused{true};
};
