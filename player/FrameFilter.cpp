#include "FrameFilter.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

namespace {

// Enough for the longest layout description FFmpeg writes.
constexpr int kLayoutTextSize = 256;

QByteArray sourceArguments(const AVFrame* f, AVRational tb, bool audio)
{
    if (!audio) {
        const AVRational sar =
            f->sample_aspect_ratio.num > 0 ? f->sample_aspect_ratio : AVRational{1, 1};
        return QByteArray("video_size=") + QByteArray::number(f->width) + 'x' +
               QByteArray::number(f->height) + ":pix_fmt=" + QByteArray::number(f->format) +
               ":time_base=" + QByteArray::number(tb.num) + '/' + QByteArray::number(tb.den) +
               ":pixel_aspect=" + QByteArray::number(sar.num) + '/' + QByteArray::number(sar.den);
    }
    AVChannelLayout layout{};
    if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&layout, f->ch_layout.nb_channels);
    } else {
        av_channel_layout_copy(&layout, &f->ch_layout);
    }
    char text[kLayoutTextSize] = {};
    av_channel_layout_describe(&layout, text, sizeof text);
    av_channel_layout_uninit(&layout);
    const char* format = av_get_sample_fmt_name(static_cast<AVSampleFormat>(f->format));
    return QByteArray("time_base=") + QByteArray::number(tb.num) + '/' +
           QByteArray::number(tb.den) + ":sample_rate=" + QByteArray::number(f->sample_rate) +
           ":sample_fmt=" + (format ? format : "") + ":channel_layout=" + text;
}

}  // namespace

FrameFilter::~FrameFilter()
{
    reset();
}

void FrameFilter::reset()
{
    avfilter_graph_free(&m_graph);
    m_source = nullptr;
    m_sink = nullptr;
}

bool FrameFilter::fits(const AVFrame* f) const
{
    if (!m_graph) {
        return false;
    }
    if (m_audio) {
        return f->sample_rate == m_sampleRate && f->format == m_format &&
               f->ch_layout.nb_channels == m_channels;
    }
    return f->width == m_width && f->height == m_height && f->format == m_format;
}

bool FrameFilter::setUp(const AVFrame* like, AVRational timeBase, const QByteArray& filters)
{
    reset();
    m_audio = like->nb_samples > 0 && like->width == 0;
    const AVFilter* source = avfilter_get_by_name(m_audio ? "abuffer" : "buffer");
    const AVFilter* sink = avfilter_get_by_name(m_audio ? "abuffersink" : "buffersink");
    m_graph = avfilter_graph_alloc();
    if (!source || !sink || !m_graph) {
        reset();
        return false;
    }
    // The filters run inside the decoder's worker; threads of their own
    // would only compete with the decoder on a small machine.
    m_graph->nb_threads = 1;
    const QByteArray args = sourceArguments(like, timeBase, m_audio);
    if (avfilter_graph_create_filter(&m_source, source, "in", args.constData(), nullptr, m_graph) <
            0 ||
        avfilter_graph_create_filter(&m_sink, sink, "out", nullptr, nullptr, m_graph) < 0) {
        reset();
        return false;
    }
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    bool ok = outputs && inputs;
    if (ok) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = m_source;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = m_sink;
        ok = avfilter_graph_parse_ptr(m_graph, filters.constData(), &inputs, &outputs, nullptr) >=
                 0 &&
             avfilter_graph_config(m_graph, nullptr) >= 0;
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (!ok) {
        reset();
        return false;
    }
    m_width = like->width;
    m_height = like->height;
    m_format = like->format;
    m_sampleRate = like->sample_rate;
    m_channels = like->ch_layout.nb_channels;
    return true;
}

bool FrameFilter::push(AVFrame* frame)
{
    return m_source &&
           av_buffersrc_add_frame_flags(m_source, frame, AV_BUFFERSRC_FLAG_KEEP_REF) >= 0;
}

bool FrameFilter::pull(AVFrame* out)
{
    return m_sink && av_buffersink_get_frame(m_sink, out) >= 0;
}

AVRational FrameFilter::outputTimeBase() const
{
    return m_sink ? av_buffersink_get_time_base(m_sink) : AVRational{1, 1};
}
