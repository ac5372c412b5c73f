#include "MediaProbe.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QPromise>
#include <QThreadPool>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {

constexpr int kIoBufferSize = 64 * 1024;

// FFmpeg reads through a plain file we opened ourselves: no URL is parsed,
// so nothing in a file name can pick a protocol or reach another file.
int readPacket(void* opaque, uint8_t* buffer, int size)
{
    auto* file = static_cast<QFile*>(opaque);
    const qint64 got = file->read(reinterpret_cast<char*>(buffer), size);
    if (got < 0) {
        return AVERROR(EIO);
    }
    return got == 0 ? AVERROR_EOF : static_cast<int>(got);
}

int64_t seekPacket(void* opaque, int64_t offset, int whence)
{
    auto* file = static_cast<QFile*>(opaque);
    qint64 target = 0;
    switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET:
            target = offset;
            break;
        case SEEK_CUR:
            target = file->pos() + offset;
            break;
        case SEEK_END:
            target = file->size() + offset;
            break;
        case AVSEEK_SIZE:
            return file->size();
        default:
            return -1;
    }
    return target >= 0 && file->seek(target) ? target : -1;
}

int pastDeadline(void* opaque)
{
    return static_cast<const QDeadlineTimer*>(opaque)->hasExpired() ? 1 : 0;
}

struct IoDeleter
{
    void operator()(AVIOContext* io) const
    {
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }
};

struct FormatDeleter
{
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};

bool hasPlayableStream(const AVFormatContext* ctx)
{
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* stream = ctx->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        // Cover art alone is one still picture: the player has nothing to play.
        const bool cover = stream->disposition & AV_DISPOSITION_ATTACHED_PIC;
        if ((type == AVMEDIA_TYPE_VIDEO && !cover) || type == AVMEDIA_TYPE_AUDIO) {
            return true;
        }
    }
    return false;
}

}  // namespace

MediaProbe::Verdict MediaProbe::check(const QString& path)
{
    // A FIFO would block the open until somebody writes to it; a device
    // never ends. Only regular files are sources.
    if (!QFileInfo(path).isFile()) {
        return Verdict::Unreadable;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return Verdict::Unreadable;
    }

    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    if (!buffer) {
        return Verdict::NotMedia;
    }
    std::unique_ptr<AVIOContext, IoDeleter> io(
        avio_alloc_context(buffer, kIoBufferSize, 0, &file, &readPacket, nullptr, &seekPacket));
    if (!io) {
        av_free(buffer);
        return Verdict::NotMedia;
    }

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        return Verdict::NotMedia;
    }
    QDeadlineTimer deadline(kTimeLimitMs);
    raw->pb = io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    raw->interrupt_callback.callback = &pastDeadline;
    raw->interrupt_callback.opaque = &deadline;

    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "probesize", kProbeBytes, 0);
    av_dict_set_int(&options, "formatprobesize", kProbeBytes, 0);
    // Demuxers that would open further files (playlists, segment lists)
    // get no protocol at all.
    av_dict_set(&options, "protocol_whitelist", "none", 0);
    const int opened = avformat_open_input(&raw, nullptr, nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {
        // avformat_open_input frees the context on failure.
        return Verdict::NotMedia;
    }
    std::unique_ptr<AVFormatContext, FormatDeleter> ctx(raw);
    if (avformat_find_stream_info(ctx.get(), nullptr) < 0 || deadline.hasExpired()) {
        return Verdict::NotMedia;
    }
    return hasPlayableStream(ctx.get()) ? Verdict::Media : Verdict::NotMedia;
}

QFuture<MediaProbe::Verdict> MediaProbe::checkLater(const QString& path)
{
    auto promise = std::make_shared<QPromise<Verdict>>();
    QFuture<Verdict> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, path] {
        promise->addResult(check(path));
        promise->finish();
    });
    return future;
}

QString MediaProbe::messageFor(Verdict verdict)
{
    switch (verdict) {
        case Verdict::Media:
            return {};
        case Verdict::NotMedia:
            return QStringLiteral("不是可识别的视频文件");
        case Verdict::Unreadable:
            return QStringLiteral("无法打开源文件");
    }
    return {};
}
