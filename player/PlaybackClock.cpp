#include "PlaybackClock.h"

#include <chrono>
#include <thread>

namespace {

constexpr qint64 kNsPerMs = 1'000'000;

}  // namespace

PlaybackClock::PlaybackClock(QObject* parent) : PlaybackClock(TimeSource(&monotonicNs), parent) {}

PlaybackClock::PlaybackClock(TimeSource source, QObject* parent)
    : QObject(parent), m_now(source ? std::move(source) : TimeSource(&monotonicNs))
{}

qint64 PlaybackClock::monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

PlaybackClock::Snapshot PlaybackClock::snapshot() const
{
    for (;;) {
        const quint32 before = m_sequence.load(std::memory_order_acquire);
        if (before & 1u) {
            // The writer is between its two counter stores: a few stores long.
            std::this_thread::yield();
            continue;
        }
        // The time is read inside the window too: a position is then always
        // computed from values that were current at that instant, never from
        // a start instant that a pause has meanwhile made obsolete.
        Snapshot s{m_baseMs.load(std::memory_order_relaxed),
                   m_startNs.load(std::memory_order_relaxed),
                   m_speed.load(std::memory_order_relaxed),
                   m_paused.load(std::memory_order_relaxed), m_now()};
        std::atomic_thread_fence(std::memory_order_acquire);
        if (m_sequence.load(std::memory_order_relaxed) == before) {
            return s;
        }
    }
}

template <typename Fn>
void PlaybackClock::publish(Fn&& change)
{
    const quint32 seq = m_sequence.load(std::memory_order_relaxed);
    m_sequence.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    change();
    m_sequence.store(seq + 2, std::memory_order_release);
}

qint64 PlaybackClock::positionOf(const Snapshot& s)
{
    if (s.paused) {
        return s.baseMs;
    }
    // Whole elapsed milliseconds first, then the scaled product truncated
    // towards zero, so the fraction of elapsed x speed is dropped.
    const qint64 elapsedMs = (s.nowNs - s.startNs) / kNsPerMs;
    return s.baseMs + static_cast<qint64>(static_cast<double>(elapsedMs) * s.speed);
}

qint64 PlaybackClock::positionMs() const
{
    return positionOf(snapshot());
}

qint64 PlaybackClock::msUntil(qint64 t) const
{
    return t - positionMs();
}

void PlaybackClock::restart(qint64 ms)
{
    const qint64 now = m_now();
    publish([&] {
        m_baseMs.store(ms, std::memory_order_relaxed);
        m_startNs.store(now, std::memory_order_relaxed);
        m_paused.store(false, std::memory_order_relaxed);
    });
}

void PlaybackClock::pause()
{
    const Snapshot s = snapshot();
    if (s.paused) {
        return;
    }
    const qint64 at = positionOf(s);
    publish([&] {
        m_baseMs.store(at, std::memory_order_relaxed);
        m_paused.store(true, std::memory_order_relaxed);
    });
}

void PlaybackClock::resume()
{
    const Snapshot s = snapshot();
    if (!s.paused) {
        return;
    }
    publish([&] {
        m_startNs.store(s.nowNs, std::memory_order_relaxed);
        m_paused.store(false, std::memory_order_relaxed);
    });
}

void PlaybackClock::setSpeed(double x)
{
    const Snapshot s = snapshot();
    if (s.paused) {
        publish([&] { m_speed.store(x, std::memory_order_relaxed); });
        return;
    }
    // Re-base at the current position first so the change bends the line
    // instead of making it jump.
    const qint64 at = positionOf(s);
    publish([&] {
        m_baseMs.store(at, std::memory_order_relaxed);
        m_startNs.store(s.nowNs, std::memory_order_relaxed);
        m_speed.store(x, std::memory_order_relaxed);
    });
}

void PlaybackClock::seekTo(qint64 ms)
{
    const Snapshot s = snapshot();
    publish([&] {
        m_baseMs.store(ms, std::memory_order_relaxed);
        if (!s.paused) {
            m_startNs.store(s.nowNs, std::memory_order_relaxed);
        }
    });
}

void PlaybackClock::reset()
{
    publish([&] {
        m_baseMs.store(0, std::memory_order_relaxed);
        m_paused.store(true, std::memory_order_relaxed);
    });
}

bool PlaybackClock::isPaused() const
{
    return snapshot().paused;
}

double PlaybackClock::speed() const
{
    return snapshot().speed;
}
