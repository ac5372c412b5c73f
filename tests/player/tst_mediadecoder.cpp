// The decoder against real sealed clips. decodeLoop() runs on the test thread
// with a clock and a sleep of the test's own, so pacing, the drop rule and
// the reaction to seek, pause and stop are exact rather than timing-bound.
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <functional>
#include <numeric>

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
    qint64 audioSamples = 0;  // in all audioFrameReady, at audioRate
    int audioRate = 0;
    QList<int> audioChannels;  // of every audioFrameReady
    QList<bool> interlaced;    // interlaced_frame of every videoFrameReady
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
        connect(&d, &MediaDecoder::videoFrameReady, this, [this, &run](const FrameRef& f) {
            run.videoSizes << QSize(f->width, f->height);
            run.videoTimes << (run.positions.isEmpty() ? -1 : run.positions.last());
            run.clockAtEmit << m_clock.positionMs();
            run.sleepsAtEmit << run.sleeps.size();
            run.interlaced << bool(f->interlaced_frame);
        });
        connect(&d, &MediaDecoder::audioFrameReady, this, [this, &run](const FrameRef& f) {
            ++run.audioFrames;
            run.audioSamples += f->nb_samples;
            run.audioRate = f->sample_rate;
            run.audioChannels << f->ch_layout.nb_channels;
            run.soundTimes << (run.positions.isEmpty() ? -1 : run.positions.last());
            run.clockAtSound << m_clock.positionMs();
            run.sleepsAtSound << run.sleeps.size();
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
        QTest::newRow("MP3 with cover art: the cover is not the video")
            << "cover_art" << true << false << true << 1990LL << 2100LL << "";
        QTest::newRow("TS starting at 61.4 s")
            << "ts_offset" << true << true << true << 1990LL << 2100LL << "";
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

    void chaptersAndTracksOfALecture()
    {
        Run run;
        MediaDecoder d;
        attach(d, run);
        AVIOContext* io = input(QStringLiteral("course"));
        QVERIFY(io);
        QVERIFY(d.open(io));
        const MediaInfo& info = d.mediaInfo();

        const QList<Chapter> chapters{{0, 800, QStringLiteral("开场")},
                                      {800, 1500, QStringLiteral("第一节")},
                                      {1500, 2000, QStringLiteral("Summary")}};
        QCOMPARE(info.chapters, chapters);

        QCOMPARE(info.audioTracks.size(), 2);
        QCOMPARE(info.audioTracks[0].language, QStringLiteral("eng"));
        QVERIFY(!info.audioTracks[0].isDefault);
        QCOMPARE(info.audioTracks[1].language, QStringLiteral("chi"));
        QCOMPARE(info.audioTracks[1].title, QStringLiteral("普通话"));
        QVERIFY(info.audioTracks[1].isDefault);
        // The file's default sound plays, not merely its first.
        QCOMPARE(d.audioStreamIndex(), info.audioTracks[1].streamIndex);
        QVERIFY(d.hasAudioDecoder());

        QCOMPARE(info.subtitleTracks.size(), 1);
        QCOMPARE(info.subtitleTracks[0].kind, MediaTrack::Kind::Subtitle);
        QCOMPARE(info.subtitleTracks[0].codec, QStringLiteral("subrip"));
        QCOMPARE(info.subtitleTracks[0].title, QStringLiteral("中文"));
    }

    void switchingTheSoundTrackKeepsThePlace()
    {
        // The lecture plays its default sound (880 Hz, mono); at half a
        // second the viewer picks the English one (440 Hz, stereo).
        const qint64 switchAt = 500;
        qsizetype soundAtSwitch = -1;
        qsizetype picturesAtSwitch = -1;
        bool refused = true;
        m_onSleep = [&](MediaDecoder& d, const Run& run) {
            if (soundAtSwitch < 0 && m_clock.positionMs() >= switchAt) {
                soundAtSwitch = run.audioChannels.size();
                picturesAtSwitch = run.videoTimes.size();
                refused = !d.selectAudioStream(1) || d.selectAudioStream(0) ||
                          d.selectAudioStream(3);  // the picture, the subtitles
                d.requestSeek(switchAt);
                m_clock.seekTo(switchAt);
            }
        };
        const Run run = play(QStringLiteral("course"), true);
        QVERIFY(soundAtSwitch > 0);
        QVERIFY2(!refused, "only sound streams may be chosen");
        QVERIFY(run.audioChannels.first() == 1);
        const QList<int> after = run.audioChannels.mid(soundAtSwitch);
        QVERIFY(!after.isEmpty());
        // Not one piece of the old track after the switch.
        QVERIFY(std::all_of(after.begin(), after.end(), [](int c) { return c == 2; }));
        const qint64 firstSoundAfter = run.soundTimes[soundAtSwitch];
        QVERIFY2(firstSoundAfter >= switchAt - 40 && firstSoundAfter <= switchAt + 100,
                 qPrintable(QString::number(firstSoundAfter)));
        // The picture goes on from where it was, not from a key frame.
        const QList<qint64> pictures = run.videoTimes.mid(picturesAtSwitch);
        QVERIFY(!pictures.isEmpty());
        QVERIFY2(std::none_of(pictures.begin(), pictures.end(),
                              [&](qint64 t) { return t >= 0 && t < switchAt - 40; }),
                 qPrintable(QString::number(pictures.first())));
        QCOMPARE(run.endOfStream, 1);
    }

    // Text subtitles of each container's kind come as ASS events at their
    // time once their track is chosen, or from the start where the file
    // marks the track as its default.
    void textSubtitlesOfTheChosenTrack_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("startMs");
        QTest::addColumn<qint64>("durationMs");
        // 0.2 s into the picture, which the muxer started 21 ms in.
        QTest::newRow("SubRip in Matroska") << "course"
                                            << "你好" << qint64(200) << qint64(800);
        QTest::newRow("mov_text in MP4") << "subs_mov_text"
                                         << "mov_text line" << qint64(500) << qint64(1000);
        QTest::newRow("WebVTT in Matroska") << "subs_webvtt"
                                            << "webvtt line" << qint64(500) << qint64(1000);
    }
    void textSubtitlesOfTheChosenTrack()
    {
        QFETCH(QString, clip);
        QFETCH(QString, text);
        QFETCH(qint64, startMs);
        QFETCH(qint64, durationMs);
        Run run;
        MediaDecoder d;
        attach(d, run);
        struct Event
        {
            QByteArray line;
            qint64 startMs;
            qint64 durationMs;
        };
        QList<Event> events;
        QList<int> tracks;
        QByteArray header;
        connect(&d, &MediaDecoder::subtitleEvent, this,
                [&](const QByteArray& l, qint64 s, qint64 n) {
                    events.append({l, s, n});
                });
        connect(&d, &MediaDecoder::subtitleTrackChanged, this, [&](int t, const QByteArray& h) {
            tracks << t;
            header = h;
        });
        d.setClock(&m_clock);
        m_clock.restart(0);
        AVIOContext* io = input(clip);
        QVERIFY(io);
        QVERIFY(d.open(io));
        QCOMPARE(d.mediaInfo().subtitleTracks.size(), 1);
        const MediaTrack track = d.mediaInfo().subtitleTracks.first();
        const int subs = track.streamIndex;
        QCOMPARE(d.subtitleStreamIndex(), track.isDefault ? subs : -1);
        QCOMPARE(track.isDefault, clip == QLatin1String("subs_mov_text"));
        if (track.isDefault) {
            header = d.subtitleHeader();
        }
        if (!d.mediaInfo().audioTracks.isEmpty()) {
            QVERIFY(!d.selectSubtitleStream(d.mediaInfo().audioTracks.first().streamIndex));
        }
        bool asked = false;
        m_onSleep = [&](MediaDecoder& dec, const Run&) {
            if (!asked) {
                asked = true;
                QVERIFY(dec.selectSubtitleStream(subs));
                dec.requestSeek(0);
                m_clock.seekTo(0);
            }
        };
        d.decodeLoop();
        QVERIFY(asked);
        QCOMPARE(tracks, track.isDefault ? QList<int>{} : QList<int>{subs});
        QVERIFY(header.contains("[V4+ Styles]"));
        QCOMPARE(events.size(), 1);
        QVERIFY2(QString::fromUtf8(events[0].line).endsWith(text), events[0].line.constData());
        QVERIFY2(events[0].startMs >= startMs && events[0].startMs <= startMs + 30,
                 qPrintable(QString::number(events[0].startMs)));
        QCOMPARE(events[0].durationMs, durationMs);
    }

    // Bitmap subtitles come as palette pictures on the track's canvas, and
    // what they put on screen when follows from them: a red box 0.6-2 s, a
    // green one 3-4 s. A seek to 1.5 s lands on the key frame at 1 s,
    // after the red box's packet: the box is still read, as it is on screen
    // at the target.
    void bitmapSubtitlesAroundASeek_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("codec");
        QTest::newRow("DVD in Matroska") << "subs_dvd"
                                         << "dvd_subtitle";
        QTest::newRow("DVB in MPEG-TS, pages ended by empty ones") << "subs_dvb"
                                                                   << "dvb_subtitle";
    }
    void bitmapSubtitlesAroundASeek()
    {
        QFETCH(QString, clip);
        QFETCH(QString, codec);
        Run run;
        MediaDecoder d;
        attach(d, run);
        BitmapSubtitles shown;
        QList<SubtitlePicture> drawn;
        connect(&d, &MediaDecoder::subtitlePicture, this, [&](const SubtitlePicture& p) {
            shown.add(p);
            if (!p.parts.isEmpty()) {
                drawn << p;
            }
        });
        d.setClock(&m_clock);
        m_clock.restart(0);
        AVIOContext* io = input(clip);
#ifdef Q_OS_WIN
        if (!io) {
            QSKIP("the bitmap subtitle clips come from a tool of the Linux build");
        }
#endif
        QVERIFY2(io, "no bitmap subtitle clip");
        QVERIFY(d.open(io));
        QCOMPARE(d.mediaInfo().subtitleTracks.size(), 1);
        QCOMPARE(d.mediaInfo().subtitleTracks.first().codec, codec);
        bool asked = false;
        m_onSleep = [&](MediaDecoder& dec, const Run&) {
            if (!asked) {
                asked = true;
                QVERIFY(
                    dec.selectSubtitleStream(dec.mediaInfo().subtitleTracks.first().streamIndex));
                dec.requestSeek(1500);
                m_clock.seekTo(1500);
            }
        };
        d.decodeLoop();
        QVERIFY(asked);
        QVERIFY(!drawn.isEmpty());
        for (const SubtitlePicture& p : std::as_const(drawn)) {
            QCOMPARE(p.canvas, QSize(720, 576));
            QCOMPARE(p.parts.size(), 1);
            QCOMPARE(p.parts[0].rect, QRect(200, 440, 320, 80));
        }
        const QSize frame(720, 576);
        // The colour at the box's centre, within what a palette's YCbCr
        // round trip (DVB) leaves of it: 'r', 'g', or 0 for nothing drawn.
        const auto centre = [&](qint64 ms) -> char {
            const QImage image = shown.render(ms, frame);
            if (image.isNull()) {
                return 0;
            }
            const QColor c = image.pixelColor(image.width() / 2, image.height() / 2);
            if (c.alpha() < 250) {
                return 0;
            }
            return c.red() > 240 && c.green() < 16 && c.blue() < 16   ? 'r'
                   : c.green() > 240 && c.red() < 16 && c.blue() < 16 ? 'g'
                                                                      : '?';
        };
        QCOMPARE(centre(500), char(0));
        QCOMPARE(centre(1500), 'r');
        QCOMPARE(centre(2500), char(0));
        QCOMPARE(centre(3500), 'g');
        QCOMPARE(centre(4500), char(0));
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
        QTest::newRow("TS starting at 61.4 s: times count from the start")
            << "ts_offset" << 50 << 1981LL << QSize(320, 240) << QSize(320, 240) << true;
        QTest::newRow("interlaced: deinterlacing keeps every picture and its time")
            << "interlaced" << 25 << 960LL << QSize(320, 480) << QSize(320, 480) << false;
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
        // Deinterlaced where the source is interlaced: no woven picture leaves.
        QVERIFY(!run.interlaced.contains(true));
        if (videoFrames > 0) {
            // Times count from the file's start: the first picture within a
            // frame of it (the sound's priming may lead by a few ms).
            QVERIFY2(run.positions.first() >= 0 && run.positions.first() < 40,
                     qPrintable(QString::number(run.positions.first())));
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
        // 1000 ms early: the wait is cut into slices (sound that falls due
        // meanwhile cuts some shorter) and ends exactly when the frame is due.
        const Run run = play(QStringLiteral("av"), true, -1000);
        QVERIFY(!run.clockAtEmit.isEmpty());
        QCOMPARE(run.videoTimes.first(), 0LL);
        QCOMPARE(run.clockAtEmit.first(), 0LL);
        const QList<int> before = run.sleeps.mid(0, run.sleepsAtEmit.first());
        QCOMPARE(std::accumulate(before.begin(), before.end(), 0), 1000);
        QVERIFY(std::all_of(before.begin(), before.end(),
                            [](int ms) { return ms > 0 && ms <= MediaDecoder::kPacingSliceMs; }));
    }

    void soundAloneGoesOutAShortLeadAheadOfTheClock_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<double>("speed");
        QTest::newRow("mono 22,050 Hz") << "audio_mono" << 1.0;
        QTest::newRow("mono at double speed") << "audio_mono" << 2.0;
        QTest::newRow("mono at half speed") << "audio_mono" << 0.5;
        QTest::newRow("stereo beside a picture nothing decodes") << "unknown_video" << 1.0;
        QTest::newRow("MP3 beside its cover art") << "cover_art" << 1.0;
        QTest::newRow("MP3 beside its cover art at 1.5x") << "cover_art" << 1.5;
    }
    void soundAloneGoesOutAShortLeadAheadOfTheClock()
    {
        QFETCH(QString, clip);
        QFETCH(double, speed);
        const qint64 lead = MediaDecoder::audioLeadMs(speed);
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
        // The stretcher gives out what one decoded frame makes in one go: up
        // to a frame (an MP3 frame is 26 ms) beyond the lead at that speed.
        const qint64 piece = qint64(30 * speed);
        for (int i = 0; i < run.audioFrames; ++i) {
            // What the stretcher still holds when the last sound is decoded
            // leaves with it, at once: some 40 ms of media at the end.
            if (speed != 1.0 && run.soundTimes[i] > run.durations.first() - 100) {
                continue;
            }
            const qint64 ahead = run.soundTimes[i] - run.clockAtSound[i];
            // Never further ahead of the clock than the lead...
            QVERIFY2(ahead <= lead + (speed == 1.0 ? 0 : piece),
                     qPrintable(QStringLiteral("sound at %1 with the clock at %2")
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
        // The interrupted wait ends without another sleep, and its frame,
        // of the position being left, is not shown: the very next frame
        // comes from the target.
        QCOMPARE(run.sleepsAtEmit[next], requestedAt);
        QCOMPARE(run.videoTimes[next], 0LL);

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

    void readErrorsThatPersistEndTheLoop_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<int>("reads");
        QTest::addColumn<int>("frames");
        QTest::newRow("no B-frames") << "av_ts" << 3 << 50;
        QTest::newRow("B-frames held back by the decoder") << "bframes_big" << 3 << 75;
    }
    void readErrorsThatPersistEndTheLoop()
    {
        QFETCH(QString, clip);
        QFETCH(int, reads);
        QFETCH(int, frames);
        // How many pictures the same reads deliver to the demultiplexer:
        // every one of them must be shown, the ones the decoder still held
        // when the source failed included.
        int videoPackets = 0;
        {
            AVIOContext* io = input(clip);
            QVERIFY(io);
            g_realRead = io->read_packet;
            g_readsLeft = reads;
            io->read_packet = &failingRead;
            AVFormatContext* fmt = avformat_alloc_context();
            fmt->pb = io;
            fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
            QVERIFY(avformat_open_input(&fmt, nullptr, nullptr, nullptr) >= 0);
            QVERIFY(avformat_find_stream_info(fmt, nullptr) >= 0);
            const int video = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
            AVPacket* packet = av_packet_alloc();
            int failures = 0;
            while (failures < MediaDecoder::kMaxConsecutiveReadErrors) {
                if (av_read_frame(fmt, packet) < 0) {
                    ++failures;
                    continue;
                }
                failures = 0;
                videoPackets += packet->stream_index == video;
                av_packet_unref(packet);
            }
            av_packet_free(&packet);
            avformat_close_input(&fmt);
            closeDecryptingInput(io);
        }

        Run run;
        MediaDecoder d;
        attach(d, run);
        AVIOContext* io = input(clip);
        QVERIFY(io);
        g_realRead = io->read_packet;
        g_readsLeft = reads;  // enough to probe the streams, not to reach the end
        io->read_packet = &failingRead;
        QVERIFY(d.open(io));
        d.decodeLoop();
        QCOMPARE(run.errors, QStringList{QStringLiteral("读取媒体数据失败，播放已停止")});
        QCOMPARE(run.endOfStream, 0);
        QVERIFY2(videoPackets > 5 && videoPackets < frames,  // it did fail half-way
                 qPrintable(QString::number(videoPackets)));
        QCOMPARE(run.videoSizes.size(), videoPackets);
        QCOMPARE(run.sleeps.size(), MediaDecoder::kMaxConsecutiveReadErrors - 1);
        QVERIFY(std::all_of(run.sleeps.begin(), run.sleeps.end(),
                            [](int ms) { return ms == MediaDecoder::kReadRetryMs; }));
    }

    void streamNotStartingAtZeroShowsAtOnceAndSeeksOnItsOwnScale()
    {
        qint64 requestedAt = -1;
        m_onSleep = [&](MediaDecoder& d, const Run& run) {
            if (requestedAt < 0 && m_clock.positionMs() >= 400) {
                requestedAt = run.positions.size();
                d.requestSeek(1000);
                m_clock.seekTo(1000);
            }
        };
        const Run run = play(QStringLiteral("ts_offset"), true);
        QVERIFY2(run.errors.isEmpty(), qPrintable(run.errors.join(';')));
        // The first picture is due within a frame of the start (the sound
        // starts 21 ms earlier), not a minute later.
        QVERIFY(run.videoTimes.first() >= 0 && run.videoTimes.first() < 40);
        QVERIFY(run.sleepsAtEmit.first() <= 40 / MediaDecoder::kPacingSliceMs);
        QVERIFY(requestedAt > 0);
        // After the interrupted wait, the key frame at the target, on time.
        const qsizetype after =
            std::find_if(run.videoTimes.begin() + requestedAt, run.videoTimes.end(),
                         [](qint64 t) { return t >= 1000; }) -
            run.videoTimes.begin();
        QVERIFY(after <= requestedAt + 1);
        QVERIFY2(run.videoTimes[after] < 1040, qPrintable(QString::number(run.videoTimes[after])));
        QVERIFY(run.clockAtEmit[after] >= run.videoTimes[after] &&
                run.clockAtEmit[after] < run.videoTimes[after] + MediaDecoder::kPacingSliceMs);
        QVERIFY(run.positions.last() >= 1960 && run.positions.last() < 2000);
        // About 2 s of playing in all: 0.4 s before the jump, 1 s after it.
        QVERIFY2(m_clock.positionMs() >= 1960 && m_clock.positionMs() < 2100,
                 qPrintable(QString::number(m_clock.positionMs())));
        QCOMPARE(run.endOfStream, 1);
    }

    void seekLandsOnTheTargetNotItsKeyFrame()
    {
        // Key frames at 0 and 1 s; 1.5 s lies half a second of pictures on.
        qsizetype requestedAt = -1;
        m_onSleep = [&](MediaDecoder& d, const Run& run) {
            if (requestedAt < 0 && m_clock.positionMs() >= 200) {
                requestedAt = run.videoTimes.size();
                d.requestSeek(1500);
                m_clock.seekTo(1500);
            }
        };
        const Run run = play(QStringLiteral("av"), true);
        QVERIFY(requestedAt > 0);
        // At most the frame whose wait the seek cut, then the target's own.
        const qsizetype next = requestedAt + (run.videoTimes[requestedAt] < 1500 ? 1 : 0);
        QCOMPARE(run.videoTimes[next], 1520LL);
        QVERIFY(std::none_of(run.videoTimes.begin() + next, run.videoTimes.end(),
                             [](qint64 t) { return t < 1500; }));
        QCOMPARE(run.positions.last(), 1960LL);
    }

    void soundIsStretchedToTheSpeed_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<double>("speed");
        QTest::newRow("beside a picture, 2x") << "av" << 2.0;
        QTest::newRow("beside a picture, 1.25x") << "av" << 1.25;
        QTest::newRow("beside a picture, 0.5x") << "av" << 0.5;
        QTest::newRow("alone, 1.5x") << "audio_mono" << 1.5;
        QTest::newRow("alone, 0.75x") << "audio_mono" << 0.75;
    }
    void soundIsStretchedToTheSpeed()
    {
        QFETCH(QString, clip);
        QFETCH(double, speed);
        const Run plain = play(clip, true, 0, 1.0);
        QVERIFY(plain.audioSamples > 0);
        const Run run = play(clip, true, 0, speed);
        QVERIFY2(run.errors.isEmpty(), qPrintable(run.errors.join(';')));
        QCOMPARE(run.endOfStream, 1);
        QCOMPARE(run.audioRate, plain.audioRate);  // the pitch is not bought with the rate
        // Whole: the sound lasts the clip's sound over the speed, nothing
        // cut off or left out (within a stretcher window of 50 ms).
        const double seconds = double(run.audioSamples) / run.audioRate;
        const double expected = double(plain.audioSamples) / plain.audioRate / speed;
        QVERIFY2(std::abs(seconds - expected) < 0.05,
                 qPrintable(QStringLiteral("%1 s, expected %2 s").arg(seconds).arg(expected)));
        if (clip == QLatin1String("av")) {
            QCOMPARE(run.videoSizes.size(), 50);  // the picture is untouched
        }
    }

    void speedChangeMidwayKeepsTheSoundWhole()
    {
        const Run plain = play(QStringLiteral("audio_mono"), true, 0, 1.0);
        bool changed = false;
        m_onSleep = [&](MediaDecoder&, const Run&) {
            if (!changed && m_clock.positionMs() >= 500) {
                changed = true;
                m_clock.setSpeed(2.0);
            }
        };
        const Run run = play(QStringLiteral("audio_mono"), true, 0, 1.0);
        QVERIFY(changed);
        // What went out before the change (0.5 s and a lead) at 1x, the rest
        // at 2x. Sound dropped at the change would make it shorter.
        const double plainSeconds = double(plain.audioSamples) / plain.audioRate;
        const double seconds = double(run.audioSamples) / run.audioRate;
        const double before = 0.5 + MediaDecoder::kAudioLeadMs / 1000.0;
        const double expected = before + (plainSeconds - before) / 2.0;
        QVERIFY2(std::abs(seconds - expected) < 0.08,
                 qPrintable(QStringLiteral("%1 s, expected %2 s").arg(seconds).arg(expected)));
        for (int i = 1; i < run.positions.size(); ++i) {
            QVERIFY(run.positions[i] > run.positions[i - 1]);
        }
    }
};

QTEST_GUILESS_MAIN(TestMediaDecoder)
#include "tst_mediadecoder.moc"
