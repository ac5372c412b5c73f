#include "MediaDecoder.h"

#include <QMetaMethod>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "CryptoUtils.h"
#include "DecryptingInput.h"
#include "PlaybackClock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// FFmpeg's default timeline (stream index -1) counts microseconds.
constexpr qint64 kUsPerMs = 1000;
// Closer to 1x than this the sound is played as it is: a stretch that small
// cannot be heard, and the filter would only add its delay.
constexpr double kUnitSpeedTolerance = 0.001;
// The time-stretcher's range; outside it the sound is played unstretched.
constexpr double kMinTempo = 0.5;
constexpr double kMaxTempo = 2.0;
// Bob-weaver deinterlacing, one picture per picture (the frame rate stays),
// and only for pictures flagged as interlaced.
const QByteArray kDeinterlaceFilter = QByteArrayLiteral("bwdif=mode=send_frame:deint=interlaced");

struct PacketDeleter
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

}  // namespace

AVCodecContext* MediaDecoder::openStreamDecoder(const AVStream* stream)
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
    // One decoding thread per core: a seek decodes from the key frame up to
    // its target as fast as it can, and 1080p needs more than one core for
    // that. Pictures held back by frame threads are drained at the end.
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        ctx->thread_count = 0;
    }
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return nullptr;
    }
    return ctx;
}

MediaDecoder::MediaDecoder(QObject* parent) : QObject(parent) {}

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

namespace {

// Chapters in the file's own time from its first timestamp, and the tracks a
// viewer may choose between.
MediaInfo readMediaInfo(const AVFormatContext* format, qint64 startUs)
{
    MediaInfo info;
    const auto tag = [](AVDictionary* dict, const char* key) {
        const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
        return e ? QString::fromUtf8(e->value) : QString();
    };
    const qint64 startMs = startUs / 1000;
    for (unsigned i = 0; i < format->nb_chapters; ++i) {
        const AVChapter* c = format->chapters[i];
        Chapter chapter;
        chapter.startMs = av_rescale_q(c->start, c->time_base, AVRational{1, 1000}) - startMs;
        chapter.endMs = av_rescale_q(c->end, c->time_base, AVRational{1, 1000}) - startMs;
        chapter.title = tag(c->metadata, "title");
        info.chapters << chapter;
    }
    std::stable_sort(info.chapters.begin(), info.chapters.end(),
                     [](const Chapter& a, const Chapter& b) { return a.startMs < b.startMs; });
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_SUBTITLE) {
            continue;
        }
        MediaTrack track;
        track.kind =
            type == AVMEDIA_TYPE_AUDIO ? MediaTrack::Kind::Audio : MediaTrack::Kind::Subtitle;
        track.streamIndex = static_cast<int>(i);
        track.language = tag(stream->metadata, "language");
        track.title = tag(stream->metadata, "title");
        track.codec = QString::fromLatin1(avcodec_get_name(stream->codecpar->codec_id));
        track.isDefault = stream->disposition & AV_DISPOSITION_DEFAULT;
        (type == AVMEDIA_TYPE_AUDIO ? info.audioTracks : info.subtitleTracks) << track;
    }
    return info;
}

// Fonts among the attachments: by MIME type, or by name where a muxer
// wrote a generic type.
QList<MediaDecoder::AttachedFont> readAttachedFonts(const AVFormatContext* format)
{
    QList<MediaDecoder::AttachedFont> fonts;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        const AVCodecParameters* par = stream->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_ATTACHMENT || !par->extradata ||
            par->extradata_size <= 0) {
            continue;
        }
        const AVDictionaryEntry* mime = av_dict_get(stream->metadata, "mimetype", nullptr, 0);
        const AVDictionaryEntry* name = av_dict_get(stream->metadata, "filename", nullptr, 0);
        const QString type = mime ? QString::fromUtf8(mime->value).toLower() : QString();
        const QString file = name ? QString::fromUtf8(name->value) : QString();
        const bool font = type.contains(QLatin1String("font")) ||
                          type.contains(QLatin1String("truetype")) ||
                          type.contains(QLatin1String("opentype")) ||
                          file.endsWith(QLatin1String(".ttf"), Qt::CaseInsensitive) ||
                          file.endsWith(QLatin1String(".otf"), Qt::CaseInsensitive) ||
                          file.endsWith(QLatin1String(".ttc"), Qt::CaseInsensitive);
        if (font) {
            fonts.append({file, QByteArray(reinterpret_cast<const char*>(par->extradata),
                                           par->extradata_size)});
        }
    }
    return fonts;
}

// One palette picture of a bitmap subtitle; indices past the palette are
// transparent, as a damaged packet must not draw garbage.
SubtitlePicture::Part bitmapPart(const AVSubtitleRect* rect)
{
    QImage image(rect->w, rect->h, QImage::Format_Indexed8);
    QList<QRgb> palette(256, qRgba(0, 0, 0, 0));
    const int colours = std::clamp(rect->nb_colors, 0, 256);
    // FFmpeg's palette is native-endian 0xAARRGGBB, as a QRgb.
    std::memcpy(palette.data(), rect->data[1], size_t(colours) * sizeof(QRgb));
    image.setColorTable(palette);
    for (int y = 0; y < rect->h; ++y) {
        std::memcpy(image.scanLine(y), rect->data[0] + qsizetype(y) * rect->linesize[0],
                    size_t(rect->w));
    }
    return {QRect(rect->x, rect->y, rect->w, rect->h), image};
}

}  // namespace

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

    m_startUs = m_formatContext->start_time == AV_NOPTS_VALUE ? 0 : m_formatContext->start_time;
    m_info = readMediaInfo(m_formatContext, m_startUs);
    m_fonts = readAttachedFonts(m_formatContext);
    chooseStreams();
    if (!openDecoders()) {
        return fail(QStringLiteral("未找到可用的解码器"));
    }

    // Truncating division; a container without a duration reports
    // AV_NOPTS_VALUE, which is passed on as it comes out.
    m_durationMs = m_formatContext->duration / kUsPerMs;
    emit durationChanged(m_durationMs);
    m_running.store(true);
    return true;
}

void MediaDecoder::chooseStreams()
{
    for (unsigned i = 0; i < m_formatContext->nb_streams; ++i) {
        const AVStream* stream = m_formatContext->streams[i];
        // Cover art is one still picture with a single packet: taken as the
        // video it would end the playback after its only frame.
        const bool cover = stream->disposition & AV_DISPOSITION_ATTACHED_PIC;
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !cover &&
            m_videoStreamIndex < 0) {
            m_videoStreamIndex = static_cast<int>(i);
        }
    }
    // The sound the file marks as its default (the original of a dubbed
    // lecture, usually), else its first.
    for (const MediaTrack& track : std::as_const(m_info.audioTracks)) {
        if (m_audioStreamIndex < 0 || track.isDefault) {
            m_audioStreamIndex = track.streamIndex;
            if (track.isDefault) {
                break;
            }
        }
    }
}

bool MediaDecoder::openDecoders()
{
    if (m_videoStreamIndex >= 0) {
        const AVStream* stream = m_formatContext->streams[m_videoStreamIndex];
        // A frame step moves by one picture; the nominal rate is what a
        // viewer counts in, and 25 fps stands in where the file names none.
        const AVRational rate =
            stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
        m_info.frameMs = rate.num > 0 && rate.den > 0
                             ? std::max<qint64>(1, av_rescale(1000, rate.den, rate.num))
                             : kFallbackFrameMs;
        m_videoCodec = openStreamDecoder(stream);
        size_t size = 0;
        const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
        if (matrix && size >= 9 * sizeof(int32_t)) {
            m_displayMatrix =
                QByteArray(reinterpret_cast<const char*>(matrix), 9 * sizeof(int32_t));
        }
    }
    if (m_audioStreamIndex >= 0) {
        m_audioCodec = openStreamDecoder(m_formatContext->streams[m_audioStreamIndex]);
        m_hasAudioDecoder.store(m_audioCodec != nullptr);
    }
    if (!m_videoCodec && !m_audioCodec) {
        return false;
    }
    // Subtitles only where the file marks a track as its default: a viewer
    // turns them on otherwise.
    for (const MediaTrack& track : std::as_const(m_info.subtitleTracks)) {
        if (track.isDefault) {
            m_subtitleCodec = openStreamDecoder(m_formatContext->streams[track.streamIndex]);
            m_subtitleStreamIndex.store(m_subtitleCodec ? track.streamIndex : -1);
            break;
        }
    }
    return true;
}

void MediaDecoder::close()
{
    (void)m_workerDone.load(std::memory_order_acquire);
    m_running.store(false);
    m_deinterlacer.reset();
    m_tempo.reset();
    avcodec_free_context(&m_videoCodec);
    avcodec_free_context(&m_audioCodec);
    avcodec_free_context(&m_subtitleCodec);
    m_subtitleStreamIndex.store(-1);
    m_hasAudioDecoder.store(false);
    if (m_formatContext) {
        avformat_close_input(&m_formatContext);
    }
    closeDecryptingInput(m_input);
    m_input = nullptr;
}

quint64 MediaDecoder::requestSeek(qint64 ms, SeekMode mode)
{
    // Target first, then the number, then the flag: the worker reads them
    // in the opposite order, so a number it sees never comes with an older
    // target (frames of an older target then carry an older number).
    m_seekTargetMs.store(ms);
    m_seekFast.store(mode == SeekMode::Fast);
    const quint64 generation = m_seekRequests.fetch_add(1) + 1;
    m_seekPending.store(true);
    wake();
    return generation;
}

bool MediaDecoder::selectAudioStream(int streamIndex)
{
    const bool isSound =
        std::any_of(m_info.audioTracks.cbegin(), m_info.audioTracks.cend(),
                    [&](const MediaTrack& t) { return t.streamIndex == streamIndex; });
    if (!isSound) {
        return false;
    }
    m_wantedAudioStream.store(streamIndex);
    return true;
}

bool MediaDecoder::selectSubtitleStream(int streamIndex)
{
    const bool isSubtitle =
        streamIndex == -1 ||
        std::any_of(m_info.subtitleTracks.cbegin(), m_info.subtitleTracks.cend(),
                    [&](const MediaTrack& t) { return t.streamIndex == streamIndex; });
    if (!isSubtitle) {
        return false;
    }
    m_wantedSubtitleStream.store(streamIndex);
    return true;
}

QByteArray MediaDecoder::subtitleHeader() const
{
    if (!m_subtitleCodec || !m_subtitleCodec->subtitle_header) {
        return {};
    }
    return QByteArray(reinterpret_cast<const char*>(m_subtitleCodec->subtitle_header),
                      m_subtitleCodec->subtitle_header_size);
}

void MediaDecoder::switchSubtitleStream()
{
    const int wanted = m_wantedSubtitleStream.exchange(-2);
    if (wanted == -2 || wanted == m_subtitleStreamIndex.load()) {
        return;
    }
    AVCodecContext* codec =
        wanted >= 0 ? openStreamDecoder(m_formatContext->streams[wanted]) : nullptr;
    if (wanted >= 0 && !codec) {
        qWarning("MediaDecoder: subtitle track %d does not decode", wanted);
    }
    avcodec_free_context(&m_subtitleCodec);
    m_subtitleCodec = codec;
    m_subtitleStreamIndex.store(codec ? wanted : -1);
    emit subtitleTrackChanged(m_subtitleStreamIndex.load(), subtitleHeader());
}

QSize MediaDecoder::subtitleCanvas() const
{
    // Bitmap subtitles are placed on a canvas of the decoder's size where
    // the track names one, else on the video picture.
    if (m_subtitleCodec && m_subtitleCodec->width > 0 && m_subtitleCodec->height > 0) {
        return QSize(m_subtitleCodec->width, m_subtitleCodec->height);
    }
    if (m_videoStreamIndex >= 0) {
        const AVCodecParameters* par = m_formatContext->streams[m_videoStreamIndex]->codecpar;
        return QSize(par->width, par->height);
    }
    return {};
}

void MediaDecoder::decodeSubtitle(AVPacket* packet)
{
    AVSubtitle sub{};
    int got = 0;
    if (avcodec_decode_subtitle2(m_subtitleCodec, &sub, &got, packet) < 0 || !got) {
        return;
    }
    const AVRational tb = m_formatContext->streams[packet->stream_index]->time_base;
    const qint64 startMs = timeMs(packet->pts, tb) + sub.start_display_time;
    // Bitmap formats often name no end (PGS never does): shown until the
    // next picture, whose packet is read ahead of its time.
    const bool named = packet->duration > 0 || (sub.end_display_time > sub.start_display_time &&
                                                sub.end_display_time != UINT32_MAX);
    qint64 durationMs = packet->duration > 0
                            ? av_rescale_q(packet->duration, tb, AVRational{1, 1000})
                            : qint64(sub.end_display_time) - sub.start_display_time;
    if (!named) {
        // A text line without an end: a few seconds is what it is meant for.
        durationMs = kOpenEndedSubtitleMs;
    }
    const bool bitmaps = m_subtitleCodec->codec_descriptor &&
                         (m_subtitleCodec->codec_descriptor->props & AV_CODEC_PROP_BITMAP_SUB);
    SubtitlePicture picture;
    picture.startMs = startMs;
    picture.endMs = named ? startMs + durationMs : -1;
    picture.canvas = subtitleCanvas();
    for (unsigned i = 0; i < sub.num_rects; ++i) {
        const AVSubtitleRect* rect = sub.rects[i];
        if (rect->type == SUBTITLE_ASS && rect->ass) {
            emit subtitleEvent(QByteArray(rect->ass), startMs, durationMs);
        } else if (rect->type == SUBTITLE_BITMAP && rect->w > 0 && rect->h > 0 && rect->data[0] &&
                   rect->data[1]) {
            picture.parts << bitmapPart(rect);
        }
    }
    if (bitmaps) {
        emit subtitlePicture(picture);
    }
    avsubtitle_free(&sub);
}

void MediaDecoder::readSubtitlesBefore(qint64 targetMs)
{
    const qint64 fromMs = std::max<qint64>(0, targetMs - kSubtitleLookbackMs);
    if (av_seek_frame(m_formatContext, -1, fromMs * kUsPerMs + m_startUs, AVSEEK_FLAG_BACKWARD) <
        0) {
        return;
    }
    avcodec_flush_buffers(m_subtitleCodec);
    const PacketPtr packet(av_packet_alloc());
    // Up to the first packet at the target; a newer seek or a stop ends it
    // early, as what it reads is then for a position left behind.
    while (packet && m_running.load() && !m_seekPending.load() &&
           av_read_frame(m_formatContext, packet.get()) >= 0) {
        const AVStream* stream = m_formatContext->streams[packet->stream_index];
        const qint64 ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        const bool reached = ts != AV_NOPTS_VALUE && timeMs(ts, stream->time_base) >= targetMs;
        if (packet->stream_index == m_subtitleStreamIndex && !reached) {
            decodeSubtitle(packet.get());
        }
        av_packet_unref(packet.get());
        if (reached) {
            break;
        }
    }
}

void MediaDecoder::switchAudioStream()
{
    const int wanted = m_wantedAudioStream.exchange(-1);
    if (wanted < 0 || wanted == m_audioStreamIndex.load()) {
        return;
    }
    AVCodecContext* codec = openStreamDecoder(m_formatContext->streams[wanted]);
    if (!codec) {
        // The sound goes on as it was rather than stopping.
        qWarning("MediaDecoder: sound track %d does not decode; keeping %d", wanted,
                 m_audioStreamIndex.load());
        return;
    }
    avcodec_free_context(&m_audioCodec);
    m_audioCodec = codec;
    m_audioStreamIndex.store(wanted);
    m_hasAudioDecoder.store(true);
}

qint64 MediaDecoder::audioLeadMs(double speed)
{
    return static_cast<qint64>(static_cast<double>(kAudioLeadMs) * speed);
}

bool MediaDecoder::stretchesTo(double speed)
{
    return std::abs(speed - 1.0) <= kUnitSpeedTolerance ||
           (speed >= kMinTempo && speed <= kMaxTempo);
}

void MediaDecoder::setPaused(bool paused)
{
    m_paused.store(paused);
    wake();
}

void MediaDecoder::stop()
{
    m_running.store(false);
    wake();
}

void MediaDecoder::sleepMs(int ms)
{
    if (m_sleeper) {
        m_sleeper(ms);
        return;
    }
    // A seek, a resume or a stop ends the wait at once rather than at the
    // end of the slice: a seek is felt that much sooner.
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_woken; });
    m_woken = false;
}

void MediaDecoder::wake()
{
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_woken = true;
    }
    m_wake.notify_one();
}

qint64 MediaDecoder::timeMs(qint64 ts, AVRational tb) const
{
    if (ts == AV_NOPTS_VALUE) {
        return 0;
    }
    return (av_rescale_q(ts, tb, AV_TIME_BASE_Q) - m_startUs) / kUsPerMs;
}

qint64 MediaDecoder::audioTimeMs(const AVFrame* frame) const
{
    return timeMs(frame->pts, m_formatContext->streams[m_audioStreamIndex]->time_base);
}

void MediaDecoder::skipUnseenPictures(const AVPacket* packet)
{
    // On the way from the key frame to an exact seek's target, pictures no
    // other picture refers to are neither shown nor needed: not decoding
    // them makes the jump shorter than decoding every picture would. The
    // pictures that are referred to are all decoded, so the target's is
    // exact. A packet without a time is decoded, to be safe.
    const AVRational tb = m_formatContext->streams[m_videoStreamIndex]->time_base;
    const bool beforeTarget = m_videoFloorMs >= 0 && packet->pts != AV_NOPTS_VALUE &&
                              timeMs(packet->pts, tb) < m_videoFloorMs;
    const AVDiscard wanted = beforeTarget ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    if (m_videoCodec->skip_frame != wanted) {
        m_videoCodec->skip_frame = wanted;
    }
}

bool MediaDecoder::soundBeforeTarget(const AVPacket* packet) const
{
    // From the key frame to a seek's target the sound is thrown away after
    // decoding; what ends well before the target is not decoded at all. The
    // margin leaves the decoder a few packets to settle in (AAC overlaps
    // each packet with the one before).
    if (m_audioFloorMs < 0 || packet->pts == AV_NOPTS_VALUE) {
        return false;
    }
    const AVRational tb = m_formatContext->streams[m_audioStreamIndex]->time_base;
    return timeMs(packet->pts + packet->duration, tb) < m_audioFloorMs - kSoundPrerollMs;
}

qint64 MediaDecoder::tempoOutputMs() const
{
    return m_tempoStartMs + static_cast<qint64>(static_cast<double>(m_tempoSamplesOut) * 1000.0 *
                                                m_tempoSpeed / m_tempoRate);
}

void MediaDecoder::queueAudio(AVFrame* frame)
{
    if (audioTimeMs(frame) < m_audioFloorMs) {
        return;  // between the key frame and the seek's target
    }
    m_audioFloorMs = -1;
    FramePtr queued = allocFrame();
    if (!queued) {
        return;
    }
    av_frame_move_ref(queued.get(), frame);
    m_audioQueue.push_back(std::move(queued));
    serviceAudio();
}

void MediaDecoder::serviceAudio()
{
    while (!m_audioQueue.empty() && m_running.load() && !m_seekPending.load()) {
        // Paused, the sound waits here: the sink would play it during the pause.
        if (m_paused.load()) {
            return;
        }
        const AVFrame* next = m_audioQueue.front().get();
        const bool full = m_audioQueue.size() > kMaxQueuedAudioFrames;
        if (m_clock && !full) {
            // The stretcher holds some sound back: what leaves next is where
            // its output has got to, which trails the queue's front.
            qint64 nextOut = audioTimeMs(next);
            if (m_tempo.isSetUp()) {
                nextOut = std::min(nextOut, tempoOutputMs());
            }
            const qint64 due = nextOut - audioLeadMs(m_clock->speed());
            if (m_clock->msUntil(due) > 0) {
                return;
            }
        }
        FramePtr due = std::move(m_audioQueue.front());
        m_audioQueue.pop_front();
        filterAudio(due.get());
    }
}

void MediaDecoder::clearAudioQueue()
{
    m_audioQueue.clear();
}

void MediaDecoder::carryOutSeek()
{
    m_generation = m_seekRequests.load();
    switchAudioStream();
    switchSubtitleStream();
    const qint64 targetMs = m_seekTargetMs.load();
    const bool fast = m_seekFast.load();
    // A fast seek shows the key frame it lands on; the sound still starts
    // at the target, and the pictures up to there are late and dropped.
    m_videoFloorMs = m_videoCodec && !fast ? targetMs : -1;
    m_audioFloorMs = m_audioCodec ? targetMs : -1;
    m_awaitFirstPicture = true;
    m_endOfInput = false;
    clearAudioQueue();
    clearVideoQueue();
    // A drag's previews go by too fast to read; the exact seek at its end
    // brings the lines.
    if (m_subtitleCodec && !fast) {
        readSubtitlesBefore(targetMs);
    }
    const qint64 targetUs = targetMs * kUsPerMs + m_startUs;
    av_seek_frame(m_formatContext, -1, targetUs, AVSEEK_FLAG_BACKWARD);
    // What the filters hold belongs to the position being left.
    m_deinterlacer.reset();
    m_tempo.reset();
    if (m_videoCodec) {
        avcodec_flush_buffers(m_videoCodec);
    }
    if (m_audioCodec) {
        avcodec_flush_buffers(m_audioCodec);
    }
    if (m_subtitleCodec) {
        avcodec_flush_buffers(m_subtitleCodec);
    }
}

void MediaDecoder::receiveFrames(AVCodecContext* codec, AVFrame* frame)
{
    const bool video = codec == m_videoCodec;
    while (avcodec_receive_frame(codec, frame) >= 0) {
        if (!m_running.load()) {
            av_frame_unref(frame);
            return;
        }
        // Filters and the rest of this class time frames by their pts.
        frame->pts = frame->best_effort_timestamp;
        if (video) {
            filterVideo(frame);
        } else {
            queueAudio(frame);
        }
        av_frame_unref(frame);
    }
}

void MediaDecoder::filterVideo(AVFrame* frame)
{
    if (m_deinterlacer.isSetUp() && !m_deinterlacer.fits(frame)) {
        flushDeinterlacer();  // a new picture size: the old chain gives out what it holds
    }
    // Once a source shows interlaced pictures every later one goes through
    // the chain too (it passes progressive ones unchanged), so the one
    // frame of delay it adds stays constant.
    if (frame->interlaced_frame && !m_deinterlacer.isSetUp()) {
        const AVRational tb = m_formatContext->streams[m_videoStreamIndex]->time_base;
        m_deinterlacer.setUp(frame, tb, kDeinterlaceFilter);
    }
    if (m_deinterlacer.isSetUp() && m_deinterlacer.push(frame)) {
        pullVideo();
        return;
    }
    queueVideo(frame, timeMs(frame->pts, m_formatContext->streams[m_videoStreamIndex]->time_base));
}

void MediaDecoder::pullVideo()
{
    const AVRational tb = m_deinterlacer.outputTimeBase();
    while (m_running.load() && m_deinterlacer.pull(m_filtered.get())) {
        queueVideo(m_filtered.get(), timeMs(m_filtered->pts, tb));
        av_frame_unref(m_filtered.get());
    }
}

void MediaDecoder::flushDeinterlacer()
{
    if (m_deinterlacer.isSetUp()) {
        m_deinterlacer.push(nullptr);
        pullVideo();
        m_deinterlacer.reset();
    }
}

void MediaDecoder::filterAudio(AVFrame* frame)
{
    const double speed = m_clock ? m_clock->speed() : 1.0;
    const bool stretch =
        std::abs(speed - 1.0) > kUnitSpeedTolerance && speed >= kMinTempo && speed <= kMaxTempo;
    if (m_tempo.isSetUp() && (!stretch || speed != m_tempoSpeed || !m_tempo.fits(frame))) {
        flushTempo();  // the speed changed: what was stretched before goes out first
    }
    const AVRational tb = m_formatContext->streams[m_audioStreamIndex]->time_base;
    if (stretch && !m_tempo.isSetUp()) {
        if (m_tempo.setUp(frame, tb, QByteArray("atempo=") + QByteArray::number(speed, 'f', 6))) {
            m_tempoSpeed = speed;
            m_tempoStartMs = timeMs(frame->pts, tb);
            m_tempoSamplesOut = 0;
            m_tempoRate = std::max(1, frame->sample_rate);
        }
    }
    if (m_tempo.isSetUp() && m_tempo.push(frame)) {
        pullAudio();
        return;
    }
    sendAudio(frame, timeMs(frame->pts, tb), 1.0);
}

void MediaDecoder::pullAudio()
{
    while (m_running.load() && m_tempo.pull(m_filteredAudio.get())) {
        // The stretcher's own timestamps count stretched time; the media
        // time of a piece is where the stretched samples before it end.
        m_tempoRate = std::max(1, m_filteredAudio->sample_rate);
        const qint64 t = tempoOutputMs();
        m_tempoSamplesOut += m_filteredAudio->nb_samples;
        sendAudio(m_filteredAudio.get(), t, m_tempoSpeed);
        av_frame_unref(m_filteredAudio.get());
    }
}

void MediaDecoder::flushTempo()
{
    if (m_tempo.isSetUp()) {
        m_tempo.push(nullptr);
        pullAudio();
        m_tempo.reset();
    }
}

void MediaDecoder::queueVideo(AVFrame* frame, qint64 t)
{
    if (t < m_videoFloorMs) {
        return;  // between the key frame and the seek's target
    }
    m_videoFloorMs = -1;
    const bool first = m_awaitFirstPicture;
    m_awaitFirstPicture = false;
    if (first) {
        m_stepping = false;
    }
    // With nobody listening for pictures (a sound-only consumer) none is
    // made; its time still counts.
    FramePtr out;
    if (isSignalConnected(QMetaMethod::fromSignal(&MediaDecoder::videoFrameReady))) {
        out = preparePicture(frame);
        if (!out) {
            return;
        }
    }
    // A player holds its clock at the start or a seek's target until this
    // picture arrives; waiting for that held clock would wait for ever
    // whenever the target falls between two pictures.
    if (first && m_clock && m_clock->isPaused()) {
        emitPicture(std::move(out), t);
        return;
    }
    m_videoQueue.push_back(QueuedPicture{std::move(out), t});
    serviceVideo();
}

FramePtr MediaDecoder::preparePicture(const AVFrame* frame) const
{
    FramePtr out = cloneFrame(frame);
    if (!out) {
        return nullptr;
    }
    const AVStream* stream = m_formatContext->streams[m_videoStreamIndex];
    out->sample_aspect_ratio = av_guess_sample_aspect_ratio(
        m_formatContext, const_cast<AVStream*>(stream), const_cast<AVFrame*>(frame));
    // A rotation the picture itself carries (from the bitstream) wins over
    // the container's.
    if (!m_displayMatrix.isEmpty() &&
        !av_frame_get_side_data(out.get(), AV_FRAME_DATA_DISPLAYMATRIX)) {
        AVFrameSideData* side =
            av_frame_new_side_data(out.get(), AV_FRAME_DATA_DISPLAYMATRIX, m_displayMatrix.size());
        if (side) {
            std::memcpy(side->data, m_displayMatrix.constData(), size_t(m_displayMatrix.size()));
        }
    }
    setFrameSeekGeneration(out.get(), m_generation);
    return out;
}

void MediaDecoder::emitPicture(FramePtr out, qint64 t)
{
    emit positionChanged(std::max<qint64>(t, 0));
    if (out) {
        emit videoFrameReady(FrameRef(std::move(out)));
    }
}

void MediaDecoder::serviceVideo()
{
    while (!m_videoQueue.empty() && m_running.load() && !m_seekPending.load()) {
        if (m_paused.load()) {
            return;  // a picture waits out a pause
        }
        if (m_clock) {
            const qint64 d = m_clock->msUntil(m_videoQueue.front().t);
            if (d > 0) {
                return;
            }
            if (d < -kDropLateMs) {
                m_videoQueue.pop_front();  // too late to be worth showing
                continue;
            }
        }
        QueuedPicture next = std::move(m_videoQueue.front());
        m_videoQueue.pop_front();
        emitPicture(std::move(next.frame), next.t);
    }
}

void MediaDecoder::clearVideoQueue()
{
    m_videoQueue.clear();
}

bool MediaDecoder::wantsMore() const
{
    if (!m_clock) {
        return true;  // nothing paces: as fast as it decodes
    }
    const qint64 now = m_clock->positionMs();
    const bool soundShort =
        m_audioCodec &&
        (m_audioQueue.empty() || audioTimeMs(m_audioQueue.back().get()) <
                                     now + audioLeadMs(m_clock->speed()) + kAudioReadAheadMs);
    if (!m_videoCodec) {
        return soundShort;
    }
    if (m_videoQueue.size() >= kMaxQueuedPictures) {
        return false;
    }
    return soundShort || m_videoQueue.size() < kMinQueuedPictures;
}

int MediaDecoder::msUntilSomethingDue() const
{
    if (!m_clock) {
        return 0;
    }
    qint64 wait = kPacingSliceMs;
    if (!m_videoQueue.empty()) {
        wait = std::min(wait, m_clock->msUntil(m_videoQueue.front().t));
    }
    if (!m_audioQueue.empty()) {
        wait = std::min(wait, m_clock->msUntil(audioTimeMs(m_audioQueue.front().get()) -
                                               audioLeadMs(m_clock->speed())));
    }
    return static_cast<int>(std::max<qint64>(wait, 1));
}

void MediaDecoder::sendAudio(AVFrame* frame, qint64 t, double speed)
{
    if (!m_running.load()) {
        return;
    }
    // Without a picture the sound tells where the playback is.
    const bool soundOnly = !m_videoCodec;
    // As for pictures: no listener for sound, no frame made for nobody.
    if (!isSignalConnected(QMetaMethod::fromSignal(&MediaDecoder::audioFrameReady))) {
        if (soundOnly) {
            emit positionChanged(std::max<qint64>(t, 0));
        }
        return;
    }
    FramePtr out = cloneFrame(frame);
    if (!out) {
        return;
    }
    setFrameSeekGeneration(out.get(), m_generation);
    if (soundOnly) {
        emit positionChanged(std::max<qint64>(t, 0));
    }
    emit audioFrameReady(FrameRef(std::move(out)), t, speed);
}

void MediaDecoder::sendPacket(AVCodecContext* codec, const AVPacket* packet, AVFrame* frame)
{
    int sent = avcodec_send_packet(codec, packet);
    if (sent == AVERROR(EAGAIN)) {
        // The decoder holds output it could not give yet: taken first, the
        // packet goes in after it instead of being lost.
        receiveFrames(codec, frame);
        sent = avcodec_send_packet(codec, packet);
    }
    if (sent < 0 && sent != AVERROR(EAGAIN)) {
        // A damaged packet is refused and skipped; the decoder picks up again
        // at the next one it can read. Counted, so a file that is damaged
        // throughout shows as such in the log rather than as a frozen picture.
        ++m_refusedPackets;
        if (m_refusedPackets == 1 || m_refusedPackets % kRefusedPacketLogEvery == 0) {
            qWarning("MediaDecoder: %lld packet(s) refused by the decoder (last: %d)",
                     static_cast<long long>(m_refusedPackets), sent);
        }
    }
    // What the decoder has is taken whatever became of this packet.
    receiveFrames(codec, frame);
}

void MediaDecoder::drainDecoders(AVFrame* frame)
{
    if (m_audioCodec && m_running.load()) {
        avcodec_send_packet(m_audioCodec, nullptr);
        receiveFrames(m_audioCodec, frame);
    }
    if (m_videoCodec && m_running.load()) {
        avcodec_send_packet(m_videoCodec, nullptr);
        receiveFrames(m_videoCodec, frame);
        flushDeinterlacer();
    }
}

bool MediaDecoder::idleWhilePaused()
{
    if (!m_paused.load()) {
        return false;
    }
    // Paused with a seek: on until the target's picture is out, so the
    // viewer sees where the jump lands before playing on.
    if (m_seekPending.load() && m_videoCodec) {
        m_stepping = true;
        return false;
    }
    if (m_stepping) {
        return false;
    }
    sleepMs(kPausedPollMs);
    return true;
}

bool MediaDecoder::playOutEnd(bool readFailed)
{
    // The stretcher's tail follows the last queued sound at once: held back
    // until the last picture it would come late, after a gap.
    if (m_audioQueue.empty() && !m_paused.load()) {
        flushTempo();
    }
    if (!m_videoQueue.empty() || !m_audioQueue.empty()) {
        sleepMs(m_paused.load() ? kPausedPollMs : msUntilSomethingDue());
        return true;
    }
    if (m_running.load()) {
        if (readFailed) {
            emit errorOccurred(QStringLiteral("读取媒体数据失败，播放已停止"));
        } else {
            emit endOfStream();
        }
    }
    return false;
}

void MediaDecoder::endInput(AVFrame* frame)
{
    // Decoders that reorder (B-frames) or run frame threads still hold the
    // last pictures; without the drain they would never be shown.
    drainDecoders(frame);
    m_endOfInput = true;
    // A seek past the last picture while paused finds nothing to show; the
    // end waits for play, as it would have without the seek.
    m_stepping = false;
}

bool MediaDecoder::readPacket(AVPacket* packet, AVFrame* frame, ReadState& state)
{
    const int read = av_read_frame(m_formatContext, packet);
    if (read == AVERROR_EOF) {
        endInput(frame);
        return false;
    }
    if (read < 0) {
        if (++state.errors >= kMaxConsecutiveReadErrors) {
            // What was read is played out first, as at the end of the file;
            // only then is the loss reported.
            endInput(frame);
            state.failed = true;
        } else {
            sleepMs(kReadRetryMs);
        }
        return false;
    }
    state.errors = 0;
    return true;
}

void MediaDecoder::decodePacket(AVPacket* packet, AVFrame* frame)
{
    AVCodecContext* codec = nullptr;
    if (packet->stream_index == m_videoStreamIndex) {
        codec = m_videoCodec;
        if (codec) {
            skipUnseenPictures(packet);
        }
    } else if (packet->stream_index == m_audioStreamIndex && !soundBeforeTarget(packet)) {
        codec = m_audioCodec;
    } else if (packet->stream_index == m_subtitleStreamIndex && m_subtitleCodec) {
        // Every event, also those before a seek's target: one that started
        // earlier may still be on screen there.
        decodeSubtitle(packet);
    }
    if (codec) {
        sendPacket(codec, packet, frame);
    }
    av_packet_unref(packet);
}

void MediaDecoder::decodeLoop()
{
    // The loop decrypts as it reads; whatever OpenSSL keeps for this thread
    // goes before the player's wait on the thread returns.
    struct ReleaseCipherState
    {
        ~ReleaseCipherState() { CryptoUtils::releaseThreadState(); }
    } releaseCipherState;
    // Declared after the cipher state and before every owner below, so it
    // runs after them all.
    struct MarkDone
    {
        std::atomic<bool>& done;
        ~MarkDone() { done.store(true, std::memory_order_release); }
    } markDone{m_workerDone};

    const PacketPtr packetOwner(av_packet_alloc());
    const FramePtr frameOwner = allocFrame();
    m_filtered = allocFrame();
    m_filteredAudio = allocFrame();
    if (!packetOwner || !frameOwner || !m_filtered || !m_filteredAudio) {
        m_filtered.reset();
        m_filteredAudio.reset();
        return;
    }
    AVPacket* packet = packetOwner.get();
    AVFrame* frame = frameOwner.get();

    ReadState read;
    while (m_running.load()) {
        if (idleWhilePaused()) {
            continue;
        }
        if (m_seekPending.exchange(false)) {
            carryOutSeek();
            read.errors = 0;
        }

        // What is due goes out first.
        serviceVideo();
        serviceAudio();

        if (m_endOfInput) {
            if (playOutEnd(read.failed)) {
                continue;
            }
            break;
        }
        if (!m_stepping && !wantsMore()) {
            sleepMs(m_paused.load() ? kPausedPollMs : msUntilSomethingDue());
            continue;
        }
        if (readPacket(packet, frame, read)) {
            decodePacket(packet, frame);
        }
    }

    clearAudioQueue();
    clearVideoQueue();
    m_filteredAudio.reset();
    m_filtered.reset();
}
