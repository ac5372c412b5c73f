// Time to first picture, first sound and seek, as a viewer feels them, with
// a real sound server (a private PulseAudio null sink, its monitor
// recorded): MediaPlayer::open() to the first painted picture and to the
// first sound heard at the sink, and seek() to the first painted picture at
// the target, on a 1080p clip with a key frame every 2 s whose tone is loud
// from its first sample. Each is shown next to its decode limit, measured
// in the same round: what our own decoder settings (those of
// player/MediaDecoder.cpp) need in process, with no sink and no decryption,
// to open the plain file and decode its first picture and sound, and to get
// from the key frame before a seek target to the target. Medians of
// kRounds; the targets are reported, not asserted. The peer line is
// `ffmpeg -ss T -i plain -frames:v 1 -f null -`, whole and without its
// process start-up.
// Usage: bench_start CONTAINER KEY_BASE64 PLAIN
#include <QApplication>
#include <QAudioDevice>
#include <QElapsedTimer>
#include <QFile>
#include <QMediaDevices>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "../BenchSession.h"
#include "MediaDecoder.h"
#include "MediaPlayer.h"
#include "PlaybackClock.h"
#include "SoundProbe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

constexpr int kRounds = 15;
// Seek targets step through the clip away from key frames (every 2 s): the
// worst case decodes up to 2 s of pictures to reach the target.
constexpr qint64 kFirstTargetMs = 1300;
constexpr qint64 kTargetStepMs = 2700;
constexpr qint64 kClipMs = 9000;
// A key frame shown while the handle is dragged must follow the hand.
constexpr double kDragPreviewTargetMs = 50;
// A picture this far either side of the target is the one a viewer sees
// there: one frame (30 fps) before, the engine's late-frame limit after.
constexpr qint64 kBeforeTargetMs = 34;
constexpr qint64 kAfterTargetMs = 200;
constexpr double kFirstPictureTargetMs = 100;
constexpr double kFirstSoundTargetMs = 150;
constexpr double kSeekTargetRatio = 1.1;
// Before each open the sink has been silent this long: the first sound
// heard afterwards is the new playback's.
constexpr qint64 kQuietBeforeOpenMs = 300;
constexpr int kWaitMs = 10000;
constexpr qint64 kNsPerMs = 1'000'000;

qint64 nowNs()
{
    return PlaybackClock::monotonicNs();
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : (v[v.size() / 2] + v[(v.size() - 1) / 2]) / 2;
}

double worst(const QList<double>& v)
{
    return v.isEmpty() ? 0 : *std::max_element(v.begin(), v.end());
}

double runMs(const QStringList& args)
{
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.start(QStringLiteral("ffmpeg"), args);
    p.waitForFinished(60000);
    return t.nsecsElapsed() / 1e6;
}

// The plain file opened and decoded the way player/MediaDecoder.cpp does
// it: the first video stream that is not cover art and the first audio
// stream, each packet sent to its decoder, video with one thread per core
// (thread_count 0), and after a seek backward to the key frame everything
// before the target decoded and dropped.
class DecodeLimit
{
public:
    ~DecodeLimit() { close(); }

    bool open(const QString& path)
    {
        close();
        if (avformat_open_input(&m_format, QFile::encodeName(path).constData(), nullptr, nullptr) <
            0) {
            m_format = nullptr;
            return false;
        }
        if (avformat_find_stream_info(m_format, nullptr) < 0) {
            return false;
        }
        for (unsigned i = 0; i < m_format->nb_streams; ++i) {
            const AVStream* s = m_format->streams[i];
            const bool cover = s->disposition & AV_DISPOSITION_ATTACHED_PIC;
            if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !cover && m_videoIndex < 0) {
                m_videoIndex = int(i);
            } else if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && m_audioIndex < 0) {
                m_audioIndex = int(i);
            }
        }
        if (m_videoIndex < 0) {
            return false;
        }
        m_video = MediaDecoder::openStreamDecoder(m_format->streams[m_videoIndex]);
        if (m_audioIndex >= 0) {
            m_audio = MediaDecoder::openStreamDecoder(m_format->streams[m_audioIndex]);
        }
        m_startUs = m_format->start_time == AV_NOPTS_VALUE ? 0 : m_format->start_time;
        m_videoTimeBase = m_format->streams[m_videoIndex]->time_base;
        return m_video != nullptr;
    }

    void close()
    {
        avcodec_free_context(&m_video);
        avcodec_free_context(&m_audio);
        if (m_format) {
            avformat_close_input(&m_format);
        }
        m_videoIndex = m_audioIndex = -1;
    }

    // Media ms of a picture's timestamp, from the file's start.
    qint64 videoMs(qint64 ts) const
    {
        return (av_rescale_q(ts, m_videoTimeBase, AVRational{1, 1'000'000}) - m_startUs) / 1000;
    }

    // Open to first picture and first sound decoded, in ms; -1 when none.
    struct Start
    {
        double pictureMs = -1;
        double soundMs = -1;
    };
    Start timeStart(const QString& path)
    {
        Start out;
        const qint64 t0 = nowNs();
        if (!open(path)) {
            return out;
        }
        decodeUntil([&](bool video, qint64) {
            const double ms = (nowNs() - t0) / 1e6;
            if (video && out.pictureMs < 0) {
                out.pictureMs = ms;
            } else if (!video && out.soundMs < 0) {
                out.soundMs = ms;
            }
            return out.pictureMs >= 0 && (out.soundMs >= 0 || !m_audio);
        });
        return out;
    }

    // From the jump to the first picture at or after the target (exact), or
    // to the first picture at all (the key frame); in ms, -1 when none.
    // skipUnreferenced: pictures before the target that no other picture
    // refers to are not decoded, as the player does on an exact seek.
    double timeSeek(qint64 targetMs, bool keyFrameOnly, bool skipUnreferenced = false)
    {
        const qint64 t0 = nowNs();
        av_seek_frame(m_format, -1, targetMs * 1000 + m_startUs, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(m_video);
        if (m_audio) {
            avcodec_flush_buffers(m_audio);
        }
        m_skipBeforeMs = skipUnreferenced ? targetMs : -1;
        const bool reached = decodeUntil(
            [&](bool video, qint64 ms) { return video && (keyFrameOnly || ms >= targetMs); });
        m_skipBeforeMs = -1;
        m_video->skip_frame = AVDISCARD_DEFAULT;
        return reached ? (nowNs() - t0) / 1e6 : -1;
    }

    // The time of the key frame a backward seek to the target lands on.
    qint64 keyFrameBefore(qint64 targetMs)
    {
        qint64 found = -1;
        av_seek_frame(m_format, -1, targetMs * 1000 + m_startUs, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(m_video);
        decodeUntil([&](bool video, qint64 ms) {
            found = video ? ms : found;
            return video;
        });
        return found;
    }

private:
    qint64 m_skipBeforeMs = -1;  // see timeSeek()

    // Reads and decodes until done(isVideo, media ms) says so for a frame;
    // false at the end of the file without that.
    bool decodeUntil(const std::function<bool(bool, qint64)>& done)
    {
        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        bool reached = false;
        bool draining = false;
        while (!reached) {
            AVCodecContext* codec = nullptr;
            if (!draining) {
                if (av_read_frame(m_format, packet) < 0) {
                    // Frame threads still hold the last pictures.
                    draining = true;
                    avcodec_send_packet(m_video, nullptr);
                    codec = m_video;
                } else if (packet->stream_index == m_videoIndex) {
                    codec = m_video;
                    const bool before = m_skipBeforeMs >= 0 && packet->pts != AV_NOPTS_VALUE &&
                                        videoMs(packet->pts) < m_skipBeforeMs;
                    m_video->skip_frame = before ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
                } else if (packet->stream_index == m_audioIndex) {
                    codec = m_audio;
                }
                if (codec && !draining) {
                    avcodec_send_packet(codec, packet);
                }
                av_packet_unref(packet);
            } else {
                codec = m_video;
            }
            if (!codec) {
                continue;
            }
            const bool video = codec == m_video;
            int got = 0;
            while (!reached && avcodec_receive_frame(codec, frame) >= 0) {
                ++got;
                const AVRational tb =
                    m_format->streams[video ? m_videoIndex : m_audioIndex]->time_base;
                const qint64 ms =
                    (av_rescale_q(frame->best_effort_timestamp, tb, AVRational{1, 1'000'000}) -
                     m_startUs) /
                    1000;
                reached = done(video, ms);
                av_frame_unref(frame);
            }
            if (draining && got == 0) {
                break;
            }
        }
        av_packet_free(&packet);
        return reached;
    }

    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_video = nullptr;
    AVCodecContext* m_audio = nullptr;
    int m_videoIndex = -1;
    int m_audioIndex = -1;
    qint64 m_startUs = 0;
    AVRational m_videoTimeBase{1, 1};
};

// What a measurement needs of the running program.
struct Rig
{
    QApplication& app;
    MediaPlayer& player;
    FlashRenderer& renderer;
    MonitorRecorder& rec;
    DecodeLimit& limit;  // knows the plain file's time base
    QString container;
    QByteArray key;
    // Set by the frame hook: when the first picture accepted by `accept`
    // was handed to the renderer (-1: none yet).
    std::function<bool(qint64 ms)> accept;
    qint64 acceptedNs = -1;
    qint64 jumpNs = -1;  // when the last timeJump() started

    bool waitFor(const std::function<bool()>& done, int timeoutMs = kWaitMs)
    {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > timeoutMs) {
                return false;
            }
            app.processEvents(QEventLoop::AllEvents, 2);
        }
        return true;
    }

    // The first paint at or after ns that shows a picture; -1 if none.
    qint64 firstPaintAfter(qint64 ns) const
    {
        for (const Paint& p : renderer.paints()) {
            if (p.ns >= ns && p.brightness >= 0) {
                return p.ns;
            }
        }
        return -1;
    }

    // Stopped, the picture cleared, and the sink silent for a while.
    bool quiet()
    {
        player.stop();
        renderer.clear();
        renderer.clearRecords();
        accept = nullptr;
        return waitFor([&] {
            const qint64 now = nowNs();
            return rec.newestNs() > now - 50 * kNsPerMs &&
                   rec.lastLoudNs() < now - kQuietBeforeOpenMs * kNsPerMs;
        });
    }

    // seek() -> the first painted picture it accepts; -1 when none came.
    double timeJump(const std::function<void()>& jump, std::function<bool(qint64)> accepted)
    {
        acceptedNs = -1;
        accept = std::move(accepted);
        const qint64 s0 = nowNs();
        jumpNs = s0;
        jump();
        qint64 painted = -1;
        waitFor([&] {
            painted = acceptedNs < 0 ? -1 : firstPaintAfter(acceptedNs);
            return painted >= 0;
        });
        accept = nullptr;
        return painted < 0 ? -1 : (painted - s0) / 1e6;
    }
};

// ---- Drag preview: a fast seek (to the key frame before the target) ----
// A drag of the seek bar: MediaPlayer::seek(ms, SeekMode::Fast) shows the
// key frame before the target at once instead of decoding on to the target.
// Each round opens anew and jumps from near 0 to a target at least 2.3 s
// in, so the key frame before it (2 s apart) cannot be taken for a picture
// of the position left.
QList<double> measureDragPreview(Rig& rig, const std::function<void(qint64)>& seekFast)
{
    QList<double> out;
    for (int i = 0; i < kRounds; ++i) {
        const qint64 target = 2300 + (i * kTargetStepMs) % (kClipMs - 2300);
        if (!rig.quiet()) {
            break;
        }
        rig.player.open(rig.container, rig.key, {});
        if (!rig.waitFor([&] { return rig.firstPaintAfter(0) >= 0; })) {
            break;
        }
        rig.waitFor([] { return false; }, 100);
        const double ms =
            rig.timeJump([&] { seekFast(target); },
                         [target](qint64 frameMs) {
                             return frameMs > target - 2100 && frameMs <= target + kAfterTargetMs;
                         });
        if (ms >= 0) {
            out << ms;
        }
    }
    return out;
}

QString verdict(bool inside)
{
    return inside ? QStringLiteral("inside") : QStringLiteral("OUTSIDE");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_start CONTAINER KEY_BASE64 PLAIN\n");
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
    const QString plain = QString::fromLocal8Bit(argv[3]);

    MonitorRecorder rec;
    if (!rec.start(&why)) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 1;
    }
    DecodeLimit limit;
    if (!limit.open(plain)) {
        std::fprintf(stderr, "cannot decode %s\n", qPrintable(plain));
        return 1;
    }

    FlashRenderer renderer;
    renderer.setRecordPaints(true);
    renderer.resize(1280, 720);
    renderer.show();
    MediaPlayer player;
    Rig rig{app, player, renderer, rec, limit, container, key, nullptr, -1};
    QObject::connect(&player, &MediaPlayer::videoFrameReady, &renderer, [&](const FrameRef& f) {
        // After a jump only a picture of the new position counts; those
        // decoded before it may still arrive. The picture's own timestamp
        // tells, read in the plain file's time base (sealing keeps it).
        if (f && rig.accept && rig.acceptedNs < 0 && f->pts != AV_NOPTS_VALUE &&
            rig.accept(limit.videoMs(f->pts))) {
            rig.acceptedNs = nowNs();
        }
        renderer.onVideoFrame(f);
    });
    QObject::connect(&player, &MediaPlayer::error,
                     [](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });

    QList<double> firstPicture, firstSound, seekPicture;
    QList<double> seekHandedOut;  // seek -> the player hands the picture out
    QList<double> limitPicture, limitSound, limitSeek, limitKeyFrame;
    QList<double> seekRatio;
    // The same limit with the pictures nobody refers to skipped before the
    // target, which the player does: the fair peer of its exact seek.
    QList<double> limitSeekSkipping, seekRatioSkipping;
    QList<double> peerSeek, peerStartup;
    for (int i = 0; i < kRounds; ++i) {
        const qint64 target = kFirstTargetMs + (i * kTargetStepMs) % (kClipMs - kFirstTargetMs);
        if (!rig.quiet()) {
            std::fprintf(stderr, "the sink did not fall silent\n");
            return 1;
        }
        // Open: the first painted picture and the first sound heard.
        const qint64 t0 = nowNs();
        player.open(container, key, {});
        qint64 heard = -1;
        const bool started = rig.waitFor([&] {
            heard = rec.firstLoudAfterNs(t0);
            return heard >= 0 && rig.firstPaintAfter(t0) >= 0;
        });
        if (!started) {
            std::fprintf(stderr, "round %d: no first %s\n", i, heard < 0 ? "sound" : "picture");
            return 1;
        }
        firstPicture << (rig.firstPaintAfter(t0) - t0) / 1e6;
        firstSound << (heard - t0) / 1e6;

        // Seek: the first painted picture at the target.
        rig.waitFor([] { return false; }, 100);  // let it play a little
        const double seekMs =
            rig.timeJump([&] { player.seek(target); },
                         [target](qint64 ms) {
                             return ms >= target - kBeforeTargetMs && ms <= target + kAfterTargetMs;
                         });
        if (seekMs < 0) {
            std::fprintf(stderr, "no picture at %lld ms\n", static_cast<long long>(target));
            return 1;
        }
        seekPicture << seekMs;
        seekHandedOut << (rig.acceptedNs - rig.jumpNs) / 1e6;
        player.stop();

        // The decode limits, with the player stopped so that both had the
        // machine to themselves.
        const DecodeLimit::Start start = limit.timeStart(plain);
        limitPicture << start.pictureMs;
        limitSound << start.soundMs;
        const double seekLimit = limit.timeSeek(target, false);
        limitSeek << seekLimit;
        limitKeyFrame << limit.timeSeek(target, true);
        seekRatio << (seekLimit > 0 ? seekMs / seekLimit : 0);
        const double skippingLimit = limit.timeSeek(target, false, true);
        limitSeekSkipping << skippingLimit;
        seekRatioSkipping << (skippingLimit > 0 ? seekMs / skippingLimit : 0);

        peerSeek << runMs({QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                           QStringLiteral("error"), QStringLiteral("-ss"),
                           QString::number(target / 1000.0), QStringLiteral("-i"), plain,
                           QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-f"),
                           QStringLiteral("null"), QStringLiteral("-")});
        peerStartup << runMs({QStringLiteral("-hide_banner"), QStringLiteral("-version")});
    }
    player.stop();
    const QList<double> dragPreview =
        measureDragPreview(rig, [&](qint64 ms) { player.seek(ms, SeekMode::Fast); });

    QList<double> pictureRatio, soundRatio;
    for (int i = 0; i < kRounds; ++i) {
        pictureRatio << firstPicture[i] / limitPicture[i];
        soundRatio << firstSound[i] / limitSound[i];
    }
    std::printf("median of %d rounds                 measured   decode limit  ratio  target\n",
                kRounds);
    std::printf(
        "open -> first painted picture   %8.1f ms   %8.1f ms   %5.2f  <= %.0f ms       %s\n",
        median(firstPicture), median(limitPicture), median(pictureRatio), kFirstPictureTargetMs,
        qPrintable(verdict(median(firstPicture) <= kFirstPictureTargetMs)));
    std::printf(
        "open -> first sound at the sink %8.1f ms   %8.1f ms   %5.2f  <= %.0f ms       %s\n",
        median(firstSound), median(limitSound), median(soundRatio), kFirstSoundTargetMs,
        qPrintable(verdict(median(firstSound) <= kFirstSoundTargetMs)));
    std::printf("seek -> first frame at target   %8.1f ms   %8.1f ms   %5.2f  <= %.1fx limit  %s\n",
                median(seekPicture), median(limitSeek), median(seekRatio), kSeekTargetRatio,
                qPrintable(verdict(median(seekRatio) <= kSeekTargetRatio)));
    std::printf(
        "  ... its limit skipping as the player does %8.1f ms   %5.2f  <= %.1fx limit  %s\n",
        median(limitSeekSkipping), median(seekRatioSkipping), kSeekTargetRatio,
        qPrintable(verdict(median(seekRatioSkipping) <= kSeekTargetRatio)));
    std::printf("worst: first picture %.1f ms, first sound %.1f ms, seek %.1f ms (%.2fx)\n",
                worst(firstPicture), worst(firstSound), worst(seekPicture), worst(seekRatio));
    std::printf(
        "seek -> the player hands the target's picture out %.1f ms (the rest is "
        "conversion and paint)\n",
        median(seekHandedOut));
    std::printf(
        "drag preview (fast seek) -> key frame painted %8.1f ms   %8.1f ms   %5.2f  <= %.0f ms "
        "      %s\n",
        median(dragPreview), median(limitKeyFrame),
        median(dragPreview) / std::max(0.001, median(limitKeyFrame)), kDragPreviewTargetMs,
        qPrintable(verdict(!dragPreview.isEmpty() && median(dragPreview) <= kDragPreviewTargetMs)));
    const double startup = median(peerStartup);
    std::printf(
        "peer: ffmpeg -ss T -frames:v 1 on the plain file %.1f ms whole, %.1f ms without its "
        "%.0f ms process start-up\n",
        median(peerSeek), median(peerSeek) - startup, startup);
    const MonitorRecorder::Mapping m = rec.mapping();
    std::printf(
        "recording: %d chunks, median %.2f ms late; sample 0's estimated time moved %.2f ms over "
        "the run (lost recording if not near 0)\n",
        m.chunks, m.medianChunkDelayMs, m.originMovedMs);
    return 0;
}
