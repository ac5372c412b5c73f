// Sound and picture together after what a viewer does, judged by what comes
// out: a private PulseAudio null sink recorded from its monitor, and the
// pictures painted by a real renderer. The clip flashes and beeps at every
// whole second, each flash and beep telling its second, so a pair cannot slip
// by a period and a beep of the position left is recognised as such.
#include <QApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QtTest>
#include <algorithm>
#include <functional>

#include "AudioRenderer.h"
#include "MediaPlayer.h"
#include "PlaybackClock.h"
#include "SoundProbe.h"
#include "TestMedia.h"

namespace {

// EBU R37: sound no more than 40 ms early, 60 ms late.
constexpr double kEarliestMs = -40;
constexpr double kLatestMs = 60;
// Each action is taken this little before a beep is due, so a player that
// kept the old position's sound queued would let that beep be heard.
constexpr qint64 kBeforeBeepMs = 40;
constexpr qint64 kNsPerMs = 1'000'000;

qint64 nowNs()
{
    return PlaybackClock::monotonicNs();
}

// Sanitizer builds run several times slower (scripts/test-sanitizers sets
// the factor): a bound on wall time grows with them.
qint64 scaledMs(qint64 ms)
{
    const int scale = qEnvironmentVariableIntValue("VEILCAST_TEST_TIME_SCALE");
    return ms * std::max(1, scale);
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    }
    return true;
}

QString describe(const SyncReport& r)
{
    QStringList each;
    for (const SyncPair& p : r.pairs) {
        each << QStringLiteral("%1:%2").arg(p.second).arg(p.offsetMs, 0, 'f', 0);
    }
    return each.join(QLatin1Char(' '));
}

// A player painting into a renderer that notes its flashes.
struct Viewer
{
    FlashRenderer renderer;
    MediaPlayer player;

    Viewer()
    {
        renderer.resize(320, 180);
        renderer.show();
        QObject::connect(&player, &MediaPlayer::videoFrameReady, &renderer,
                         &VideoRenderer::onVideoFrame);
    }
};

}  // namespace

class TestAvSync : public QObject
{
    Q_OBJECT

    PrivatePulse m_pulse;
    MonitorRecorder m_rec;
    SealedClip m_clip;

    // Plays the clip until the clock is kBeforeBeepMs short of the beep of
    // `second`; false if it never gets there.
    bool playUntilJustBefore(MediaPlayer& player, int second)
    {
        const qint64 at = second * 1000LL - kBeforeBeepMs;
        return waitUntil([&] { return player.position() >= at; }, scaledMs(10000));
    }

    // Every flash painted and beep heard from `fromNs` on, until the flash
    // and beep of `lastSecond` have both come (and been recorded).
    SyncReport collect(const FlashRenderer& renderer, int lastSecond, qint64 fromNs,
                       QList<Beep>* beeps)
    {
        const bool complete = waitUntil(
            [&] {
                const bool flashed = std::any_of(
                    renderer.flashes().cbegin(), renderer.flashes().cend(),
                    [&](const Flash& f) { return f.ns >= fromNs && f.second == lastSecond; });
                const QList<Beep> heard = m_rec.beeps(fromNs);
                const bool beeped = std::any_of(heard.cbegin(), heard.cend(), [&](const Beep& b) {
                    return b.second == lastSecond;
                });
                return flashed && beeped && m_rec.newestNs() > nowNs() - 100 * kNsPerMs;
            },
            scaledMs(10000));
        *beeps = m_rec.beeps(fromNs);
        if (!complete) {
            return {};
        }
        return pairFlashesWithBeeps(renderer.flashes(), *beeps, fromNs, nowNs());
    }

private slots:
    void initTestCase()
    {
        if (!PrivatePulse::toolsPresent()) {
            QSKIP("pulseaudio and parec (pulseaudio-utils) are needed for real sound");
        }
        QString why;
        QVERIFY2(m_pulse.start(&why), qPrintable(why));
        QVERIFY2(m_rec.start(&why), qPrintable(why));
        m_clip = sealedClip(QStringLiteral("flash_beep"));
        QVERIFY(m_clip.isValid());
    }

    void cleanupTestCase()
    {
        m_rec.stop();
        m_pulse.stop();
    }

    // After each action every pair, the first one included, is within
    // R37, and no beep of the position left is heard after the action.
    void inSyncAfterTheAction_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("firstSecond");  // the first whole second after the action
        QTest::newRow("seek while playing") << "seek" << 7;
        QTest::newRow("seek back while playing") << "seek back" << 1;
        QTest::newRow("seek while paused, then play") << "paused seek" << 7;
        QTest::newRow("another file while one plays") << "switch" << 0;
    }
    void inSyncAfterTheAction()
    {
        QFETCH(QString, action);
        QFETCH(int, firstSecond);
        Viewer v;
        FlashRenderer& renderer = v.renderer;
        MediaPlayer& player = v.player;
        player.open(m_clip.container, m_clip.key, m_clip.iv);
        const int before = action == QLatin1String("seek back") ? 4 : 3;
        QVERIFY(playUntilJustBefore(player, before));

        const qint64 actionNs = nowNs();
        if (action == QLatin1String("seek")) {
            player.seek(6500);
        } else if (action == QLatin1String("seek back")) {
            player.seek(500);
        } else if (action == QLatin1String("paused seek")) {
            player.pause();
            player.seek(6500);
            // The target's picture comes without play, and stays.
            QVERIFY(waitUntil([&] { return !renderer.currentImage().isNull(); }, 2000));
            QTest::qWait(400);
            QCOMPARE(player.position(), 6500LL);
            QVERIFY2(m_rec.beeps(actionNs).isEmpty(), "sound while paused");
            player.resume();
        } else {
            player.open(m_clip.container, m_clip.key, m_clip.iv);
        }

        QList<Beep> beeps;
        const SyncReport r = collect(renderer, firstSecond + 2, actionNs, &beeps);
        QVERIFY2(r.pairs.size() >= 3, qPrintable(describe(r)));
        QCOMPARE(r.pairs.first().second, firstSecond);
        for (const SyncPair& p : r.pairs) {
            QVERIFY2(p.offsetMs >= kEarliestMs && p.offsetMs <= kLatestMs, qPrintable(describe(r)));
        }
        // The beep that was due just after the action belongs to the
        // position left: it must not be heard.
        for (const Beep& b : beeps) {
            QVERIFY2(b.second != before, qPrintable(QStringLiteral("beep of second %1 heard %2 ms "
                                                                   "after the action")
                                                        .arg(b.second)
                                                        .arg((b.ns - actionNs) / kNsPerMs)));
        }
        player.stop();
    }

    // Another sound track chosen just before a beep: from then on only the
    // new track is heard, from where the picture is, in sync; the picture
    // goes on without a jump.
    void soundTrackSwitchKeepsPlaceAndSync()
    {
        const SealedClip dub = sealedClip(QStringLiteral("flash_beep_dub"));
        QVERIFY(dub.isValid());
        constexpr int kDubOffset = 12;  // the second track's beeps tell k + 12
        Viewer v;
        FlashRenderer& renderer = v.renderer;
        MediaPlayer& player = v.player;
        player.open(dub.container, dub.key, dub.iv);
        QCOMPARE(player.mediaInfo().audioTracks.size(), 2);
        const int dubbed = player.mediaInfo().audioTracks[1].streamIndex;
        QVERIFY(playUntilJustBefore(player, 4));

        const qint64 actionNs = nowNs();
        QVERIFY(player.setAudioTrack(dubbed));
        QList<Beep> heard;
        const bool complete = waitUntil(
            [&] {
                heard = m_rec.beeps(actionNs);
                return std::any_of(heard.cbegin(), heard.cend(),
                                   [&](const Beep& b) { return b.second == 7 + kDubOffset; });
            },
            scaledMs(10000));
        QVERIFY2(complete, "the dubbed track's beep of second 7 never came");
        QList<Beep> asMedia;
        for (const Beep& b : heard) {
            // Not one beep of the first track after the switch.
            QVERIFY2(b.second >= kDubOffset,
                     qPrintable(QStringLiteral("first track's second %1 heard").arg(b.second)));
            asMedia << Beep{b.ns, b.second - kDubOffset, b.hz};
        }
        // The dubbed sound starts where the viewer was: its second 4 first.
        QCOMPARE(asMedia.first().second, 4);
        const SyncReport r = pairFlashesWithBeeps(renderer.flashes(), asMedia, actionNs, nowNs());
        QVERIFY2(r.pairs.size() >= 3, qPrintable(describe(r)));
        QCOMPARE(r.pairs.first().second, 4);
        for (const SyncPair& p : r.pairs) {
            QVERIFY2(p.offsetMs >= kEarliestMs && p.offsetMs <= kLatestMs, qPrintable(describe(r)));
        }
        // The picture neither went back nor skipped a second.
        QList<int> seconds;
        for (const Flash& f : renderer.flashes()) {
            if (f.ns >= actionNs) {
                seconds << f.second;
            }
        }
        QVERIFY2(seconds.size() >= 3 && seconds[0] == 4 && seconds[1] == 5 && seconds[2] == 6,
                 qPrintable(QString::number(seconds.value(0, -1))));
        player.stop();
    }

    // Pause silences at once and resume plays on from the same place; muting
    // silences without stopping the clock or the sink, so sync holds after.
    void pauseAndMute()
    {
        Viewer v;
        FlashRenderer& renderer = v.renderer;
        MediaPlayer& player = v.player;
        player.open(m_clip.container, m_clip.key, m_clip.iv);
        // Paused just as the beep of second 2 has begun: its 40 ms must not
        // run on for more than the sink's own delay.
        QVERIFY(waitUntil([&] { return player.position() >= 2010; }, scaledMs(10000)));
        player.pause();
        const qint64 pausedNs = nowNs();
        const qint64 heardAt = player.position();
        QTest::qWait(500);
        QVERIFY(waitUntil([&] { return m_rec.newestNs() > pausedNs + 400 * kNsPerMs; }, 2000));
        const qint64 lastLoud = m_rec.lastLoudNs();
        QVERIFY2(lastLoud < pausedNs + scaledMs(50) * kNsPerMs,
                 qPrintable(QString::number((lastLoud - pausedNs) / 1e6)));
        QCOMPARE(player.position(), heardAt);

        player.resume();
        player.setMuted(true);
        QVERIFY(player.isMuted());
        const qint64 mutedNs = nowNs();
        QVERIFY(waitUntil([&] { return player.position() >= 4200; }, scaledMs(10000)));
        // Beeps 3 and 4 fall in the muted stretch; the clock ran on.
        const QList<Beep> whileMuted = m_rec.beeps(mutedNs + 150 * kNsPerMs);
        QVERIFY2(whileMuted.isEmpty(), qPrintable(QString::number(whileMuted.size())));
        QVERIFY(player.audioRenderer()->sink()->state() != QAudio::StoppedState);

        player.setMuted(false);
        const qint64 unmutedNs = nowNs();
        QList<Beep> beeps;
        const SyncReport r = collect(renderer, 7, unmutedNs + 200 * kNsPerMs, &beeps);
        QVERIFY2(r.pairs.size() >= 2, qPrintable(describe(r)));
        for (const SyncPair& p : r.pairs) {
            QVERIFY2(p.offsetMs >= kEarliestMs && p.offsetMs <= kLatestMs, qPrintable(describe(r)));
        }
        player.stop();
    }

    // Dragging the seek bar: each move shows the key frame before the
    // handle (one every 2 s) at once, without decoding on to the target.
    void dragShowsKeyFramesAtOnce()
    {
        MediaPlayer player;
        QList<qint64> handedNs;
        QList<qint64> handedAt;  // the picture's own time
        qint64 lastPosition = -1;
        connect(&player, &MediaPlayer::positionChanged, this,
                [&](qint64 ms) { lastPosition = ms; });
        connect(&player, &MediaPlayer::videoFrameReady, this, [&](const FrameRef& f) {
            handedNs << nowNs();
            handedAt << lastPosition;
        });
        player.open(m_clip.container, m_clip.key, m_clip.iv);
        QVERIFY(waitUntil([&] { return player.position() >= 500; }, scaledMs(10000)));
        const QList<qint64> moves{3300, 5100, 7700, 9900, 2600};
        for (qint64 target : moves) {
            handedNs.clear();
            handedAt.clear();
            const qint64 movedNs = nowNs();
            player.seek(target, SeekMode::Fast);
            QVERIFY(waitUntil([&] { return !handedNs.isEmpty(); }, 2000));
            const qint64 keyFrame = target / 2000 * 2000;
            QCOMPARE(handedAt.first(), keyFrame);
            QVERIFY2(handedNs.first() - movedNs < scaledMs(50) * kNsPerMs,
                     qPrintable(QStringLiteral("%1 ms to the key frame at %2")
                                    .arg((handedNs.first() - movedNs) / 1e6)
                                    .arg(keyFrame)));
            QTest::qWait(30);
        }
        // Let go: the exact frame.
        handedAt.clear();
        player.seek(4520);
        QVERIFY(waitUntil([&] { return !handedAt.isEmpty(); }, 2000));
        QCOMPARE(handedAt.first(), 4520LL);
        player.stop();
    }
};

QTEST_MAIN(TestAvSync)
#include "tst_avsync.moc"
