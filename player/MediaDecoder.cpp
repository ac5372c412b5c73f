#include "MediaDecoder.h"

#include <QThread>
#include <algorithm>

#include "DecryptingInput.h"
#include "PlaybackClock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// FFmpeg's default timeline (stream index -1) counts microseconds.
constexpr qint64 kUsPerMs = 1000;

void registerFrameType()
{
    static const int id = qRegisterMetaType<AVFrame*>("AVFrame*");
    Q_UNUSED(id);
}

AVCodecContext* openDecoder(const AVStream* stream)
{
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        return nullptr;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) {
        return nullptr;
    }
    if (avcodec_parameters_to_context(ctx, stream->codecpar) < 0) {
        avcodec_free_context(&ctx);
        return nullptr;
    }
    // Packets arrive in the stream's time base; the decoder needs it to
    // compute best-effort timestamps.
    ctx->pkt_timebase = stream->time_base;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return nullptr;
    }
    return ctx;
}

}  // namespace

MediaDecoder::MediaDecoder(QObject* parent) : QObject(parent)
{
    registerFrameType();
}

MediaDecoder::~MediaDecoder()
{
    close();
}

void MediaDecoder::setClock(PlaybackClock* clock)
{
    m_clock = clock;
}

void MediaDecoder::setSleeper(Sleeper sleeper)
{
    m_sleeper = std::move(sleeper);
}

bool MediaDecoder::fail(const QString& msg)
{
    emit errorOccurred(msg);
    return false;
}

bool MediaDecoder::open(AVIOContext* io)
{
    m_input = io;
    m_formatContext = avformat_alloc_context();
    if (!m_formatContext || !io) {
        return fail(QStringLiteral("无法打开媒体流"));
    }
    m_formatContext->pb = io;
    // We own the I/O context; without this flag FFmpeg would not know it
    // must leave it alone when closing.
    m_formatContext->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&m_formatContext, nullptr, nullptr, nullptr) < 0) {
        // avformat_open_input frees the context on failure.
        m_formatContext = nullptr;
        return fail(QStringLiteral("无法打开媒体流"));
    }
    if (avformat_find_stream_info(m_formatContext, nullptr) < 0) {
        return fail(QStringLiteral("无法获取流信息"));
    }

    for (unsigned i = 0; i < m_formatContext->nb_streams; ++i) {
        const AVMediaType type = m_formatContext->streams[i]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && m_videoStreamIndex < 0) {
            m_videoStreamIndex = static_cast<int>(i);
        } else if (type == AVMEDIA_TYPE_AUDIO && m_audioStreamIndex < 0) {
            m_audioStreamIndex = static_cast<int>(i);
        }
    }
    if (m_videoStreamIndex >= 0) {
        m_videoCodec = openDecoder(m_formatContext->streams[m_videoStreamIndex]);
    }
    if (m_audioStreamIndex >= 0) {
        m_audioCodec = openDecoder(m_formatContext->streams[m_audioStreamIndex]);
    }
    if (!m_videoCodec && !m_audioCodec) {
        return fail(QStringLiteral("未找到可用的解码器"));
    }

    // Truncating division; a container without a duration reports
    // AV_NOPTS_VALUE, which is passed on as it comes out.
    m_durationMs = m_formatContext->duration / kUsPerMs;
    emit durationChanged(m_durationMs);
    m_running.store(true);
    return true;
}

void MediaDecoder::close()
{
    m_running.store(false);
    avcodec_free_context(&m_videoCodec);
    avcodec_free_context(&m_audioCodec);
    if (m_formatContext) {
        avformat_close_input(&m_formatContext);
    }
    closeDecryptingInput(m_input);
    m_input = nullptr;
}

void MediaDecoder::requestSeek(qint64 ms)
{
    // Target first: the worker reads it only after seeing the flag.
    m_seekTargetMs.store(ms);
    m_seekPending.store(true);
}

void MediaDecoder::setPaused(bool paused)
{
    m_paused.store(paused);
}

void MediaDecoder::stop()
{
    m_running.store(false);
}

void MediaDecoder::sleepMs(int ms)
{
    if (m_sleeper) {
        m_sleeper(ms);
    } else {
        QThread::msleep(static_cast<unsigned long>(ms));
    }
}

qint64 MediaDecoder::frameTimeMs(const AVFrame* frame, int streamIndex) const
{
    const qint64 ts = frame->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE) {
        return 0;
    }
    const AVRational tb = m_formatContext->streams[streamIndex]->time_base;
    return ts * tb.num * 1000 / tb.den;
}

bool MediaDecoder::pace(qint64 t)
{
    qint64 d = m_clock->msUntil(t);
    if (d > 0) {
        d = std::min(d, kMaxPlannedWaitMs);
        while (m_running.load() && !m_paused.load()) {
            sleepMs(static_cast<int>(std::min<qint64>(d, kPacingSliceMs)));
            d = m_clock->msUntil(t);
            if (m_seekPending.load() || d <= 0) {
                break;
            }
        }
    }
    return d >= -kDropLateMs;
}

bool MediaDecoder::paceSound(qint64 t)
{
    const qint64 due = t - kAudioLeadMs;
    while (m_running.load()) {
        if (m_seekPending.load()) {
            // Sound of the position being left: the renderer has just thrown
            // away what it held, and this would only play after it.
            return false;
        }
        if (m_paused.load()) {
            // Handing it out now would let the sink play it during the pause.
            sleepMs(kPausedPollMs);
            continue;
        }
        const qint64 d = m_clock->msUntil(due);
        if (d <= 0) {
            return true;
        }
        sleepMs(static_cast<int>(std::min<qint64>(d, kPacingSliceMs)));
    }
    return true;  // stopped: the caller sees it and sends nothing
}

void MediaDecoder::carryOutSeek()
{
    const qint64 targetUs = m_seekTargetMs.load() * kUsPerMs;
    av_seek_frame(m_formatContext, -1, targetUs, AVSEEK_FLAG_BACKWARD);
    if (m_videoCodec) {
        avcodec_flush_buffers(m_videoCodec);
    }
    if (m_audioCodec) {
        avcodec_flush_buffers(m_audioCodec);
    }
}

void MediaDecoder::receiveFrames(AVCodecContext* codec, AVFrame* frame)
{
    const bool video = codec == m_videoCodec;
    // Without a picture the sound is what waits for the clock.
    const bool soundPaced = !video && !m_videoCodec;
    while (avcodec_receive_frame(codec, frame) >= 0) {
        if (!m_running.load()) {
            av_frame_unref(frame);
            return;
        }
        if (!video && !soundPaced) {
            AVFrame* out = av_frame_clone(frame);
            av_frame_unref(frame);
            if (out) {
                emit audioFrameReady(out);
            }
            continue;
        }
        const qint64 t = frameTimeMs(frame, video ? m_videoStreamIndex : m_audioStreamIndex);
        if (m_clock && !(video ? pace(t) : paceSound(t))) {
            av_frame_unref(frame);  // too late, or left behind by a seek
            continue;
        }
        if (!m_running.load()) {
            av_frame_unref(frame);
            return;
        }
        AVFrame* out = av_frame_clone(frame);
        av_frame_unref(frame);
        if (out) {
            emit positionChanged(t);
            if (video) {
                emit videoFrameReady(out);
            } else {
                emit audioFrameReady(out);
            }
        }
    }
}

void MediaDecoder::drainDecoders(AVFrame* frame)
{
    // Sound first: next to pictures it is not paced, and the held-back
    // pictures that follow wait for their time.
    for (AVCodecContext* codec : {m_audioCodec, m_videoCodec}) {
        if (codec && m_running.load()) {
            avcodec_send_packet(codec, nullptr);
            receiveFrames(codec, frame);
        }
    }
}

void MediaDecoder::decodeLoop()
{
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (!packet || !frame) {
        av_packet_free(&packet);
        av_frame_free(&frame);
        return;
    }

    int readErrors = 0;
    while (m_running.load()) {
        if (m_paused.load()) {
            sleepMs(kPausedPollMs);
            continue;
        }
        if (m_seekPending.exchange(false)) {
            carryOutSeek();
        }

        const int read = av_read_frame(m_formatContext, packet);
        if (read == AVERROR_EOF) {
            // Decoders that reorder (B-frames) or run frame threads still hold
            // the last pictures; without the drain they would never be shown.
            drainDecoders(frame);
            if (m_seekPending.load()) {
                continue;  // the user jumped back while the end was playing
            }
            if (m_running.load()) {
                emit endOfStream();
            }
            break;
        }
        if (read < 0) {
            if (++readErrors >= kMaxConsecutiveReadErrors) {
                emit errorOccurred(QStringLiteral("读取媒体数据失败，播放已停止"));
                break;
            }
            sleepMs(kReadRetryMs);
            continue;
        }
        readErrors = 0;

        AVCodecContext* codec = nullptr;
        if (packet->stream_index == m_videoStreamIndex) {
            codec = m_videoCodec;
        } else if (packet->stream_index == m_audioStreamIndex) {
            codec = m_audioCodec;
        }
        if (codec) {
            avcodec_send_packet(codec, packet);
            receiveFrames(codec, frame);
        }
        av_packet_unref(packet);
    }

    av_frame_free(&frame);
    av_packet_free(&packet);
}
