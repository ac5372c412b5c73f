// The decoder against real sealed clips. decodeLoop() runs on the test thread
// with a clock and a sleep of the test's own, so pacing, the drop rule and
// the reaction to seek, pause and stop are exact rather than timing-bound.
#include <QtTest>
#include <atomic>
#include <functional>

#include "DecryptingInput.h"
#include "MediaDecoder.h"
#include "PlaybackClock.h"
#include "TestMedia.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

namespace {

const QStringList kOpenErrors{QStringLiteral("无法打开媒体流"), QStringLiteral("无法获取流信息"),
                              QStringLiteral("未找到可用的解码器")};

// What one run of the loop produced, in order.
struct Run
{
    QList<qint64> positions;    // positionChanged
    QList<qint64> videoTimes;   // positionChanged that came with a frame
    QList<QSize> videoSizes;    // size of every videoFrameReady
    QList<qint64> clockAtEmit;  // clock position at each videoFrameReady
    QList<int> sleepsAtEmit;    // sleeps made before each videoFrameReady
    int audioFrames = 0;
    // For each audioFrameReady: the last position so far, the clock and the
    // sleeps made until then.
    QList<qint64> soundTimes;
    QList<qint64> clockAtSound;
    QList<int> sleepsAtSound;
    int endOfStream = 0;
    QStringList errors;
    QList<qint64> durations;
    QList<int> sleeps;
};

// A source that fails for good after a number of reads, as a vanished disk does.
int (*g_realRead)(void*, uint8_t*, int) = nullptr;
int g_readsLeft = 0;
int failingRead(void* opaque, uint8_t* buf, int size)
{
    if (g_readsLeft <= 0) {
        return AVERROR(EIO);
    }
    --g_readsLeft;
    return g_realRead(opaque, buf, size);
}

}  // namespace

class TestMediaDecoder : public QObject
{
    Q_OBJECT

    std::atomic<qint64> m_nowNs{1'000'000'000};
    PlaybackClock m_clock{[this] { return m_nowNs.load(); }};
    std::function<void(MediaDecoder&, const Run&)> m_onSleep;

    void attach(MediaDecoder& d, Run& run)
    {
        connect(&d, &MediaDecoder::positionChanged, this, [&run](qint64 t) { run.positions << t; });
        connect(&d, &MediaDecoder::videoFrameReady, this, [this, &run](AVFrame* f) {
            run.videoSizes << QSize(f->width, f->height);
            run.videoTimes << (run.positions.isEmpty() ? -1 : run.positions.last());
            run.clockAtEmit << m_clock.positionMs();
            run.sleepsAtEmit << run.sleeps.size();
            av_frame_free(&f);
        });
        connect(&d, &MediaDecoder::audioFrameReady, this, [this, &run](AVFrame* f) {
            ++run.audioFrames;
            run.soundTimes << (run.positions.isEmpty() ? -1 : run.positions.last());
            run.clockAtSound << m_clock.positionMs();
            run.sleepsAtSound << run.sleeps.size();
            av_frame_free(&f);
        });
        connect(&d, &MediaDecoder::endOfStream, this, [&run] { ++run.endOfStream; });
        connect(&d, &MediaDecoder::errorOccurred, this,
                [&run](const QString& m) { run.errors << m; });
        connect(&d, &MediaDecoder::durationChanged, this,
                [&run](qint64 ms) { run.durations << ms; });
        d.setSleeper([this, &d, &run](int ms) {
            run.sleeps << ms;
            m_nowNs += qint64(ms) * 1'000'000;
            if (m_onSleep) {
                m_onSleep(d, run);
            }
        });
    }

    AVIOContext* input(const QString& name)
    {
        const SealedClip clip = sealedClip(name);
        return clip.isValid() ? openDecryptingInput(clip.container, clip.key) : nullptr;
    }

    // Opens the clip and runs the whole loop on this thread.
    Run play(const QString& name, bool paced, qint64 clockStart = 0, double speed = 1.0)
    {
        Run run;
        MediaDecoder d;
        attach(d, run);
        if (paced) {
            d.setClock(&m_clock);
            m_clock.restart(clockStart);
            m_clock.setSpeed(speed);
        }
        AVIOContext* io = input(name);
        if (!io) {
            run.errors << QStringLiteral("no clip ") + name;
            return run;
        }
        if (d.open(io)) {
            d.decodeLoop();
        }
        return run;
    }

private slots:
    void init()
    {
        m_onSleep = nullptr;
        m_clock.reset();
        m_clock.setSpeed(1.0);
    }

    void open_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<bool>("video");
        QTest::addColumn<bool>("audio");
        QTest::addColumn<qint64>("minDuration");
        QTest::addColumn<qint64>("maxDuration");
        QTest::addColumn<QString>("error");
        QTest::newRow("picture and sound")
            << "av" << true << true << true << 1990LL << 2100LL << "";
        QTest::newRow("sound only, mono")
            << "audio_mono" << true << false << true << 990LL << 1100LL << "";
        QTest::newRow("picture only")
            << "video_only" << true << true << false << 990LL << 1100LL << "";
        QTest::newRow("5.1 in MKV") << "surround" << true << true << true << 990LL << 1100LL << "";
        QTest::newRow("two video streams")
            << "two_video" << true << true << false << 990LL << 1100LL << "";
        QTest::newRow("unknown video codec, sound decodes")
            << "unknown_video" << true << false << true << 990LL << 1100LL << "";
        QTest::newRow("subtitles only")
            << "subtitles_only" << false << false << false << 0LL << 0LL << "未找到可用的解码器";
        QTest::newRow("empty payload")
            << "empty" << false << false << false << 0LL << 0LL << "无法打开媒体流";
    }
    void open()
    {
        QFETCH(QString, clip);
        QFETCH(bool, opens);
        QFETCH(bool, video);
        QFETCH(bool, audio);
        QFETCH(qint64, minDuration);
        QFETCH(qint64, maxDuration);
        QFETCH(QString, error);

        Run run;
        MediaDecoder d;
        attach(d, run);
        AVIOContext* io = input(clip);
        QVERIFY(io);
        QCOMPARE(d.open(io), opens);
        QCOMPARE(d.hasVideoDecoder(), video);
        QCOMPARE(d.hasAudioDecoder(), audio);
        if (opens) {
            QVERIFY(run.errors.isEmpty());
            QCOMPARE(run.durations.size(), 1);
            QCOMPARE(run.durations.first(), d.durationMs());
            QVERIFY2(d.durationMs() >= minDuration && d.durationMs() <= maxDuration,
                     qPrintable(QString::number(d.durationMs())));
        } else {
            QCOMPARE(run.errors, QStringList{error});
            QVERIFY(run.durations.isEmpty());
        }
        if (clip == QLatin1String("unknown_video")) {
            QCOMPARE(d.videoStreamIndex(), 0);  // found, but nothing decodes it
        }
    }

    void wrongKeyFailsToOpen()
    {
        const SealedClip clip = sealedClip(QStringLiteral("av"));
        QVERIFY(clip.isValid());
        QByteArray key = clip.key;
        key[0] = static_cast<char>(key[0] ^ 0x01);
        Run run;
        MediaDecoder d;
        attach(d, run);
        AVIOContext* io = openDecryptingInput(clip.container, key);
        QVERIFY(io);  // the bridge cannot tell; the demultiplexer can
        QVERIFY(!d.open(io));
        QCOMPARE(run.errors.size(), 1);
        QVERIFY2(kOpenErrors.contains(run.errors.first()), qPrintable(run.errors.first()));
    }

    void unpacedDecode_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<int>("videoFrames");
        QTest::addColumn<qint64>("lastTime");
        QTest::addColumn<QSize>("firstSize");
        QTest::addColumn<QSize>("lastSize");
        QTest::addColumn<bool>("audio");
        QTest::newRow("picture and sound")
            << "av" << 50 << 1960LL << QSize(320, 240) << QSize(320, 240) << true;
        QTest::newRow("B-frames: the held-back last frames come out")
            << "bframes" << 50 << 1960LL << QSize(320, 240) << QSize(320, 240) << false;
        QTest::newRow("picture only")
            << "video_only" << 25 << 960LL << QSize(320, 240) << QSize(320, 240) << false;
        QTest::newRow("sound only: no picture, a position per piece of sound")
            << "audio_mono" << 0 << -1LL << QSize() << QSize() << true;
        QTest::newRow("second video stream never decoded")
            << "two_video" << 25 << 960LL << QSize(320, 240) << QSize(320, 240) << false;
        QTest::newRow("5.1") << "surround" << 25 << -1LL << QSize(160, 120) << QSize(160, 120)
                             << true;
        QTest::newRow("unknown video codec")
            << "unknown_video" << 0 << -1LL << QSize() << QSize() << true;
        QTest::newRow("frame size changes")
            << "size_change" << 20 << -1LL << QSize(1280, 720) << QSize(640, 360) << false;
        QTest::newRow("odd width")
            << "odd_size" << 10 << 360LL << QSize(853, 480) << QSize(853, 480) << false;
    }
    void unpacedDecode()
    {
        QFETCH(QString, clip);
        QFETCH(int, videoFrames);
        QFETCH(qint64, lastTime);
        QFETCH(QSize, firstSize);
        QFETCH(QSize, lastSize);
        QFETCH(bool, audio);

        const Run run = play(clip, false);
        QVERIFY2(run.errors.isEmpty(), qPrintable(run.errors.join(';')));
        QCOMPARE(run.endOfStream, 1);
        QCOMPARE(run.videoSizes.size(), videoFrames);
        // Without a picture the sound reports the position.
        QCOMPARE(run.positions.size(), videoFrames > 0 ? videoFrames : run.audioFrames);
        QCOMPARE(run.audioFrames > 0, audio);
        QVERIFY(run.sleeps.isEmpty());  // nothing waits without a clock
        for (int i = 1; i < run.positions.size(); ++i) {
            QVERIFY(run.positions[i] > run.positions[i - 1]);
        }
        if (videoFrames > 0) {
            QCOMPARE(run.videoSizes.first(), firstSize);
            QCOMPARE(run.videoSizes.last(), lastSize);
            if (lastTime >= 0) {
                QCOMPARE(run.positions.last(), lastTime);
            }
        }
    }

    void pacedFramesComeOnTime()
    {
        const Run run = play(QStringLiteral("av"), true);
        QCOMPARE(run.videoSizes.size(), 50);
        QCOMPARE(run.endOfStream, 1);
        for (int i = 0; i < run.videoTimes.size(); ++i) {
            // Never early, and late by less than one slice.
            QVERIFY2(run.clockAtEmit[i] >= run.videoTimes[i] &&
                         run.clockAtEmit[i] < run.videoTimes[i] + MediaDecoder::kPacingSliceMs,
                     qPrintable(QStringLiteral("frame %1 at %2")
                                    .arg(run.videoTimes[i])
                                    .arg(run.clockAtEmit[i])));
        }
        for (int ms : run.sleeps) {
            QVERIFY(ms > 0 && ms <= MediaDecoder::kPacingSliceMs);
        }
    }

    void lateFramesAreDropped_data()
    {
        QTest::addColumn<qint64>("clockStart");
        QTest::addColumn<qint64>("firstShown");
        QTest::newRow("exactly 200 ms late is shown") << 1000LL << 800LL;
        QTest::newRow("201 ms late is dropped") << 1001LL << 840LL;
        QTest::newRow("on time") << 0LL << 0LL;
        QTest::newRow("first frame 200 ms late") << 200LL << 0LL;
        QTest::newRow("first frame 201 ms late") << 201LL << 40LL;
    }
    void lateFramesAreDropped()
    {
        QFETCH(qint64, clockStart);
        QFETCH(qint64, firstShown);
        const Run run = play(QStringLiteral("av"), true, clockStart);
        QVERIFY(!run.positions.isEmpty());
        // A dropped frame leaves no trace: neither frame nor position.
        QCOMPARE(run.positions.first(), firstShown);
        QCOMPARE(run.videoSizes.size(), int((1960 - firstShown) / 40 + 1));
        QCOMPARE(run.endOfStream, 1);
    }

    void earlyFrameWaitsInSlicesUntilDue()
    {
        // 1000 ms early: more than the 500 ms a single plan allows.
        const Run run = play(QStringLiteral("av"), true, -1000);
        QVERIFY(!run.clockAtEmit.isEmpty());
        QCOMPARE(run.videoTimes.first(), 0LL);
        QCOMPARE(run.clockAtEmit.first(), 0LL);
        QCOMPARE(run.sleepsAtEmit.first(), 1000 / MediaDecoder::kPacingSliceMs);
    }

    void soundAloneGoesOutAShortLeadAheadOfTheClock_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<double>("speed");
        QTest::newRow("mono 22,050 Hz") << "audio_mono" << 1.0;
        QTest::newRow("mono at double speed") << "audio_mono" << 2.0;
        QTest::newRow("mono at half speed") << "audio_mono" << 0.5;
        QTest::newRow("stereo beside a picture nothing decodes") << "unknown_video" << 1.0;
    }
    void soundAloneGoesOutAShortLeadAheadOfTheClock()
    {
        QFETCH(QString, clip);
        QFETCH(double, speed);
        const qint64 lead = MediaDecoder::kAudioLeadMs;
        const Run run = play(clip, true, 0, speed);
        QVERIFY2(run.errors.isEmpty(), qPrintable(run.errors.join(';')));
        QCOMPARE(run.endOfStream, 1);
        QVERIFY(run.videoSizes.isEmpty());
        QVERIFY(run.audioFrames > 10);
        // Every piece of sound carries its own position, and they advance up
        // to the end of the clip.
        QCOMPARE(run.positions.size(), run.audioFrames);
        for (int i = 1; i < run.positions.size(); ++i) {
            QVERIFY(run.positions[i] > run.positions[i - 1]);
        }
        QCOMPARE(run.durations.size(), 1);
        QVERIFY2(run.positions.last() >= run.durations.first() - 100,
                 qPrintable(QString::number(run.positions.last())));

        int waited = 0;
        for (int i = 0; i < run.audioFrames; ++i) {
            const qint64 ahead = run.soundTimes[i] - run.clockAtSound[i];
            // Never further ahead of the clock than the lead...
            QVERIFY2(ahead <= lead, qPrintable(QStringLiteral("sound at %1 with the clock at %2")
                                                   .arg(run.soundTimes[i])
                                                   .arg(run.clockAtSound[i])));
            // ...and a piece that had to wait goes out within one slice of
            // becoming due, not later.
            if (run.sleepsAtSound[i] > (i > 0 ? run.sleepsAtSound[i - 1] : 0)) {
                ++waited;
                QVERIFY2(ahead > lead - MediaDecoder::kPacingSliceMs * speed,
                         qPrintable(QStringLiteral("sound at %1 with the clock at %2")
                                        .arg(run.soundTimes[i])
                                        .arg(run.clockAtSound[i])));
            }
        }
        QVERIFY(waited > run.audioFrames / 2);
        for (int ms : run.sleeps) {
            QVERIFY(ms > 0 && ms <= MediaDecoder::kPacingSliceMs);
        }
    }

    void seekWhileSoundWaitsDropsTheOldSound()
    {
        const qint64 requestAt = 500;
        bool requested = false;
        qsizetype positionsAtRequest = 0;
        m_onSleep = [&](MediaDecoder& d, const Run& run) {
            if (!requested && m_clock.positionMs() >= requestAt) {
                requested = true;
                positionsAtRequest = run.positions.size();
                d.requestSeek(0);
                m_clock.seekTo(0);
            }
        };
        const Run run = play(QStringLiteral("audio_mono"), true);
        QVERIFY(requested);
        QVERIFY(positionsAtRequest > 0 && positionsAtRequest < run.positions.size());
        // The piece that was waiting when the seek came is not sent: the
        // very next one is from the target.
        QVERIFY(run.positions[positionsAtRequest - 1] <= requestAt + MediaDecoder::kAudioLeadMs);
        QVERIFY2(run.positions[positionsAtRequest] <= 0,
                 qPrintable(QString::number(run.positions[positionsAtRequest])));
        QVERIFY(run.positions.last() >= run.durations.first() - 100);
        QCOMPARE(run.endOfStream, 1);
    }

    void seekInterruptsTheWaitAndIsCarriedOut()
    {
        int requestedAt = -1;  // sleeps made when the seek was requested
        m_onSleep = [&](MediaDecoder& d, const Run& run) {
            if (requestedAt < 0 && m_clock.positionMs() >= 1010) {
                requestedAt = run.sleeps.size();
                d.requestSeek(0);
                m_clock.seekTo(0);
            }
        };
        const Run run = play(QStringLiteral("av"), true);
        QVERIFY(requestedAt > 0);
        const int next = int(std::find_if(run.sleepsAtEmit.begin(), run.sleepsAtEmit.end(),
                                          [&](int s) { return s >= requestedAt; }) -
                             run.sleepsAtEmit.begin());
        QVERIFY(next + 1 < run.videoTimes.size());
        // The interrupted wait ends without another sleep; its frame is kept
        // (it is not late), and the very next frame comes from the target.
        QCOMPARE(run.sleepsAtEmit[next], requestedAt);
        QCOMPARE(run.videoTimes[next], 1040LL);
        QCOMPARE(run.videoTimes[next + 1], 0LL);
        QCOMPARE(run.positions.last(), 1960LL);
        QCOMPARE(run.endOfStream, 1);
    }

    void pauseIdlesAndStopEndsPromptly_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<qint64>("clockStart");
        QTest::addColumn<bool>("pauseFirst");
        QTest::newRow("stop while paused") << "av" << 0LL << true;
        QTest::newRow("stop while a frame waits") << "av" << -100'000LL << false;
        QTest::newRow("sound alone: stop while paused") << "audio_mono" << 0LL << true;
        QTest::newRow("sound alone: stop while a piece waits")
            << "audio_mono" << -100'000LL << false;
    }
    void pauseIdlesAndStopEndsPromptly()
    {
        QFETCH(QString, clip);
        QFETCH(qint64, clockStart);
        QFETCH(bool, pauseFirst);
        int pausedSleeps = 0;
        int stoppedAt = -1;
        m_onSleep = [&](MediaDecoder& d, const Run& run) {
            if (pauseFirst && run.sleeps.size() == 3) {
                d.setPaused(true);
            } else if (run.sleeps.size() > 3 && pauseFirst) {
                QCOMPARE(run.sleeps.last(), MediaDecoder::kPausedPollMs);
                ++pausedSleeps;
            }
            if (run.sleeps.size() == 10) {
                stoppedAt = run.sleeps.size();
                d.stop();
            }
        };
        const Run run = play(clip, true, clockStart);
        QCOMPARE(stoppedAt, 10);
        QCOMPARE(run.sleeps.size(), stoppedAt);  // not one sleep after the stop
        QCOMPARE(run.endOfStream, 0);
        if (pauseFirst) {
            QCOMPARE(pausedSleeps, 7);
            // The pause came inside sleep 3. A picture whose wait it cut is
            // still shown; a piece of sound stays back, as the sink would play
            // it during the pause.
            if (clip == QLatin1String("audio_mono")) {
                QVERIFY(std::none_of(run.sleepsAtSound.begin(), run.sleepsAtSound.end(),
                                     [](int s) { return s >= 3; }));
            } else {
                QVERIFY(std::none_of(run.sleepsAtEmit.begin(), run.sleepsAtEmit.end(),
                                     [](int s) { return s > 3; }));
            }
        } else {
            // The waiting frame is not sent, nor anything paced after it.
            QVERIFY(run.positions.isEmpty());
            if (clip == QLatin1String("audio_mono")) {
                QCOMPARE(run.audioFrames, 0);
            }
        }
    }

    void readErrorsThatPersistEndTheLoop()
    {
        Run run;
        MediaDecoder d;
        attach(d, run);
        AVIOContext* io = input(QStringLiteral("av_ts"));
        QVERIFY(io);
        g_realRead = io->read_packet;
        g_readsLeft = 3;  // enough to probe the streams, not to reach the end
        io->read_packet = &failingRead;
        QVERIFY(d.open(io));
        d.decodeLoop();
        QCOMPARE(run.errors, QStringList{QStringLiteral("读取媒体数据失败，播放已停止")});
        QCOMPARE(run.endOfStream, 0);
        QVERIFY(!run.videoSizes.isEmpty());  // what was read still played
        QCOMPARE(run.sleeps.size(), MediaDecoder::kMaxConsecutiveReadErrors - 1);
        QVERIFY(std::all_of(run.sleeps.begin(), run.sleeps.end(),
                            [](int ms) { return ms == MediaDecoder::kReadRetryMs; }));
    }
};

QTEST_GUILESS_MAIN(TestMediaDecoder)
#include "tst_mediadecoder.moc"
