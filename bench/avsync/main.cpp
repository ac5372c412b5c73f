// Lip sync of the playback engine on the paths a viewer takes, measured end
// to end in one player session: a clip that flashes white and beeps at the
// same instants once per media second plays through MediaPlayer into a
// VideoRenderer (each painted flash is timestamped) and into a private
// PulseAudio daemon's null sink, whose monitor is recorded (each beep onset
// is timestamped). Flash and beep each tell their media second, so they are
// paired per second within each phase: start, seek forward and back while
// playing, seek while paused, switch to another file, speed 1x -> 1.5x,
// pause and resume.
//
// Per phase: the offsets audio minus video (target: mean -40 .. +60 ms and
// every pair -100 .. +150 ms), the first pair after the action, the beeps
// of the position left that were still heard after it (or, for a pause,
// any beep heard while paused), and the most sound the sink held (written
// minus played) during the phase. The targets are reported, not asserted.
// Usage: bench_avsync CONTAINER KEY_BASE64 SECOND_CONTAINER SECOND_KEY_BASE64
#include <QApplication>
#include <QAudioSink>
#include <QElapsedTimer>
#include <QFile>
#include <QMediaDevices>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "../BenchSession.h"
#include "AudioRenderer.h"
#include "MediaPlayer.h"
#include "PlaybackClock.h"
#include "SoundProbe.h"

namespace {

constexpr double kMeanEarliestMs = -40;
constexpr double kMeanLatestMs = 60;
constexpr double kPairEarliestMs = -100;
constexpr double kPairLatestMs = 150;
// How often the sink's held sound is looked at.
constexpr int kQueueSampleMs = 10;
// After the last flash and beep a phase waits for, before its end: both are
// in, and the next second (at least 0.55 s on at 1.5x) is not yet.
constexpr int kSettleMs = 300;
// Longest wait for a flash and beep; the engine at its worst still shows
// a second within this.
constexpr int kSeenTimeoutMs = 8000;

qint64 nowNs()
{
    return PlaybackClock::monotonicNs();
}

struct Phase
{
    QString name;
    qint64 startNs = 0;
    qint64 endNs = 0;
    QList<int> expected;       // the seconds the new position plays in this phase
    QList<int> oldSeconds;     // those the position left would have played next
    qint64 pausedFromNs = -1;  // a pause inside the phase: no beep belongs there
    qint64 pausedToNs = -1;
    qint64 maxQueuedUs = 0;
    QString missed;  // what was waited for in vain
};

// The sound written into the sink and not yet played: the lead of sound
// over what is heard, and what a jump or pause must throw away. A jump or an
// open empties the sink, so both counts are taken anew right after one; and
// whenever a count goes back (the sink restarted and counts from zero) it is
// taken from zero, since the engine may restart its sink on its own.
class QueueWatch
{
public:
    explicit QueueWatch(const MediaPlayer& player) : m_player(player) {}

    // Right after an action that empties the sink.
    void rebase()
    {
        const AudioRenderer* a = m_player.audioRenderer();
        m_sink = a->sink();
        m_baseBytes = m_lastBytes = a->bytesWritten();
        m_baseUs = m_lastUs = m_sink ? m_sink->processedUSecs() : 0;
    }

    // -1 while there is no sink to ask.
    qint64 queuedUs()
    {
        const AudioRenderer* a = m_player.audioRenderer();
        const QAudioSink* sink = a->sink();
        if (!sink || a->sampleRate() <= 0 || a->outputChannels() <= 0) {
            return -1;
        }
        const qint64 bytes = a->bytesWritten();
        const qint64 us = sink->processedUSecs();
        if (sink != m_sink) {
            m_sink = sink;
            m_baseBytes = m_baseUs = 0;
        }
        m_baseBytes = bytes < m_lastBytes ? 0 : m_baseBytes;
        m_baseUs = us < m_lastUs ? 0 : m_baseUs;
        m_lastBytes = bytes;
        m_lastUs = us;
        const qint64 bytesPerSecond = 2LL * a->outputChannels() * a->sampleRate();
        return (bytes - m_baseBytes) * 1'000'000 / bytesPerSecond - (us - m_baseUs);
    }

private:
    const MediaPlayer& m_player;
    const QAudioSink* m_sink = nullptr;
    qint64 m_baseBytes = 0;
    qint64 m_baseUs = 0;
    qint64 m_lastBytes = 0;
    qint64 m_lastUs = 0;
};

QString secondsText(const QList<Beep>& beeps)
{
    QStringList out;
    for (const Beep& b : beeps) {
        out << QString::number(b.second);
    }
    return out.join(QLatin1Char(','));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: bench_avsync CONTAINER KEY_BASE64 SECOND_CONTAINER "
                     "SECOND_KEY_BASE64\n");
        return 2;
    }
    BenchSession session(argc, argv);
    if (!session.isReady()) {
        return 1;
    }
    QApplication& app = session.app();
    QString why;
    const QString container = QString::fromLocal8Bit(argv[1]);
    const QByteArray key = QByteArray::fromBase64(argv[2]);
    const QString second = QString::fromLocal8Bit(argv[3]);
    const QByteArray secondKey = QByteArray::fromBase64(argv[4]);

    MonitorRecorder rec;
    if (!rec.start(&why)) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 1;
    }
    auto pump = [&](int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            app.processEvents(QEventLoop::AllEvents, 5);
        }
    };
    pump(1000);  // the recording settles before the clip starts

    FlashRenderer renderer;
    renderer.resize(640, 360);
    renderer.show();
    MediaPlayer player;
    renderer.setClock(player.clock());
    QObject::connect(&player, &MediaPlayer::videoFrameReady, &renderer,
                     &VideoRenderer::onVideoFrame);
    QObject::connect(&player, &MediaPlayer::error, &app,
                     [](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });

    QList<Phase> phases;
    QueueWatch queue(player);
    QTimer queueTimer;
    queueTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&queueTimer, &QTimer::timeout, &app, [&] {
        const qint64 us = queue.queuedUs();
        if (!phases.isEmpty() && us > phases.last().maxQueuedUs) {
            phases.last().maxQueuedUs = us;
        }
    });
    queueTimer.start(kQueueSampleMs);

    // A phase starts just before its action; the last one ends where the
    // next starts.
    auto begin = [&](const QString& name, QList<int> expected, QList<int> oldSeconds) {
        const qint64 now = nowNs();
        if (!phases.isEmpty()) {
            phases.last().endNs = now;
        }
        Phase p;
        p.name = name;
        p.startNs = now;
        p.expected = std::move(expected);
        p.oldSeconds = std::move(oldSeconds);
        phases << p;
    };
    // Until the flash and the beep of the second are both in, then a little
    // more, so the beep is whole and the phase ends between two seconds.
    auto waitSeen = [&](int k) {
        const qint64 since = phases.last().startNs;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < kSeenTimeoutMs) {
            pump(20);
            const auto& flashes = renderer.flashes();
            const bool flashed = std::any_of(flashes.cbegin(), flashes.cend(), [&](const Flash& f) {
                return f.ns >= since && f.second == k;
            });
            const QList<Beep> beeps = rec.beeps(since);
            const bool beeped = std::any_of(beeps.cbegin(), beeps.cend(),
                                            [&](const Beep& b) { return b.second == k; });
            if (flashed && beeped) {
                pump(kSettleMs);
                return;
            }
        }
        phases.last().missed = QStringLiteral("second %1 not seen and heard").arg(k);
    };

    // (a) From the start: seconds 0..3.
    begin(QStringLiteral("start"), {0, 1, 2, 3}, {});
    player.open(container, key, {});
    queue.rebase();
    waitSeen(3);

    // (b) Jumps while playing, each onto seconds not heard before it.
    begin(QStringLiteral("seek fwd 3 -> 6.6 playing"), {7, 8}, {4, 5});
    player.seek(6600);
    queue.rebase();
    waitSeen(8);
    begin(QStringLiteral("seek back 8 -> 4.6 playing"), {5, 6}, {9, 10});
    player.seek(4600);
    queue.rebase();
    waitSeen(6);

    // (c) Paused, jumped, resumed half a second later.
    begin(QStringLiteral("pause, seek 6 -> 10.6, resume"), {11, 12}, {7, 8});
    player.pause();
    phases.last().pausedFromNs = nowNs();
    pump(300);
    player.seek(10600);
    queue.rebase();
    pump(500);
    phases.last().pausedToNs = nowNs();
    player.resume();
    waitSeen(12);

    // (d) Another file while the first plays near second 12: its seconds
    // 0..2 cannot be taken for the first file's 13 and 14.
    begin(QStringLiteral("switch file at 12 -> 0"), {0, 1, 2}, {13, 14});
    player.open(second, secondKey, {});
    queue.rebase();
    waitSeen(2);

    // (e) Faster while playing.
    begin(QStringLiteral("speed 1x -> 1.5x"), {3, 4, 5, 6}, {});
    player.setSpeed(1.5);
    waitSeen(6);

    // (f) A second's pause at 1.5x: nothing may be heard while paused.
    begin(QStringLiteral("pause 1 s, resume (1.5x)"), {7, 8, 9, 10}, {});
    player.pause();
    phases.last().pausedFromNs = nowNs();
    pump(1000);
    phases.last().pausedToNs = nowNs();
    player.resume();
    waitSeen(10);

    phases.last().endNs = nowNs();
    queueTimer.stop();
    player.stop();
    pump(300);
    rec.stop();

    const QList<Beep> beeps = rec.beeps();
    std::printf(
        "offsets audio minus video, ms; target: mean %+.0f .. %+.0f, every pair %+.0f .. %+.0f\n",
        kMeanEarliestMs, kMeanLatestMs, kPairEarliestMs, kPairLatestMs);
    std::printf("%-30s %5s %7s %7s %7s  %-22s %5s %7s  %s\n", "phase", "pairs", "mean", "min",
                "max", "first pair (s: ms @ t)", "old", "queued", "target");
    int measured = 0;
    QStringList details;
    for (const Phase& p : phases) {
        const SyncReport r = pairFlashesWithBeeps(renderer.flashes(), beeps, p.startNs, p.endNs);
        measured += int(r.pairs.size());
        const bool inside = !r.empty() && r.meanMs >= kMeanEarliestMs &&
                            r.meanMs <= kMeanLatestMs && r.minMs >= kPairEarliestMs &&
                            r.maxMs <= kPairLatestMs;
        // Sound of the position left, heard after the action; for a pause,
        // any sound heard while paused.
        QList<Beep> old;
        QList<Beep> stray;
        for (const Beep& b : beeps) {
            if (b.ns < p.startNs || b.ns >= p.endNs) {
                continue;
            }
            const bool whilePaused = b.ns >= p.pausedFromNs && b.ns < p.pausedToNs;
            if (p.oldSeconds.contains(b.second) || whilePaused) {
                old << b;
            } else if (!p.expected.contains(b.second)) {
                stray << b;
            }
        }
        const bool judgesOld = !p.oldSeconds.isEmpty() || p.pausedFromNs >= 0;
        QString first = QStringLiteral("-");
        if (!r.empty()) {
            const SyncPair& f = r.pairs.first();
            first = QStringLiteral("%1: %2 @ %3 ms")
                        .arg(f.second)
                        .arg(f.offsetMs, 0, 'f', 1)
                        .arg((f.flashNs - p.startNs) / 1'000'000);
        }
        const QString pairs = QStringLiteral("%1/%2").arg(r.pairs.size()).arg(p.expected.size());
        std::printf("%-30s %5s %+7.1f %+7.1f %+7.1f  %-22s %5s %4lld ms  %s%s\n",
                    qPrintable(p.name), qPrintable(pairs), r.meanMs, r.minMs, r.maxMs,
                    qPrintable(first), judgesOld ? qPrintable(QString::number(old.size())) : "-",
                    static_cast<long long>(std::max<qint64>(p.maxQueuedUs, 0) / 1000),
                    inside ? "inside" : "OUTSIDE",
                    p.missed.isEmpty() ? "" : qPrintable(QStringLiteral(" (") + p.missed + ')'));
        QStringList each;
        for (const SyncPair& pair : r.pairs) {
            each << QStringLiteral("%1:%2").arg(pair.second).arg(pair.offsetMs, 0, 'f', 0);
        }
        details << QStringLiteral("  %1: pairs %2; flashes %3, beeps %4; old [%5], other [%6]")
                       .arg(p.name, each.join(QLatin1Char(' ')))
                       .arg(r.flashes)
                       .arg(r.beeps)
                       .arg(secondsText(old), secondsText(stray));
    }
    std::printf("each phase (second:offset ms; beeps heard by second):\n%s\n",
                qPrintable(details.join(QLatin1Char('\n'))));
    const MonitorRecorder::Mapping m = rec.mapping();
    std::printf(
        "recording: %d chunks, median %.2f ms late; sample 0's estimated time moved %.2f ms over "
        "the run (lost recording if not near 0)\n",
        m.chunks, m.medianChunkDelayMs, m.originMovedMs);
    return measured > 0 ? 0 : 1;
}
