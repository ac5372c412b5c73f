#include "AudioRenderer.h"

#include <QAudioFormat>
#include <QAudioSink>
#include <QByteArray>
#include <QMediaDevices>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace {

constexpr int kBytesPerSample = 2;  // signed 16-bit

AVChannelLayout inputLayoutOf(const AVFrame* frame)
{
    AVChannelLayout layout{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        // Some decoders only know the count; assume the usual arrangement.
        av_channel_layout_default(&layout, frame->ch_layout.nb_channels);
    } else {
        av_channel_layout_copy(&layout, &frame->ch_layout);
    }
    return layout;
}

quint64 layoutKey(const AVChannelLayout& layout)
{
    return layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
}

}  // namespace

AudioRenderer::AudioRenderer(QObject* parent) : QObject(parent)
{
    static const int id = qRegisterMetaType<AVFrame*>("AVFrame*");
    Q_UNUSED(id);
}

AudioRenderer::~AudioRenderer()
{
    if (m_sink) {
        m_sink->stop();
        delete m_sink;
    }
    swr_free(&m_resampler);
}

void AudioRenderer::setVolume(float v)
{
    m_volume = v;
    if (m_sink) {
        m_sink->setVolume(v);
    }
}

void AudioRenderer::reset()
{
    if (m_sink) {
        m_sink->reset();
        m_device = m_sink->start();
    }
    if (m_resampler) {
        swr_convert(m_resampler, nullptr, 0, nullptr, 0);
    }
}

void AudioRenderer::rebuildSink()
{
    if (m_sink) {
        m_sink->stop();
        delete m_sink;
    }
    QAudioFormat format;
    format.setSampleFormat(QAudioFormat::Int16);
    format.setChannelCount(m_outputChannels);
    format.setSampleRate(m_sampleRate);
    m_sink = new QAudioSink(QMediaDevices::defaultAudioOutput(), format, this);
    m_sink->setVolume(m_volume);
    m_device = m_sink->start();
}

bool AudioRenderer::configure(const AVFrame* frame)
{
    AVChannelLayout inLayout = inputLayoutOf(frame);
    const int channels = inLayout.nb_channels;
    const bool converterFits = m_resampler && frame->sample_rate == m_sampleRate &&
                               channels == m_inputChannels && frame->format == m_inputFormat &&
                               layoutKey(inLayout) == m_inputLayoutMask;
    if (converterFits) {
        av_channel_layout_uninit(&inLayout);
        return true;
    }

    swr_free(&m_resampler);
    const int outChannels = channels == 1 ? 1 : 2;
    AVChannelLayout outLayout{};
    av_channel_layout_default(&outLayout, outChannels);  // mono: FC, stereo: FL+FR
    const int rc = swr_alloc_set_opts2(
        &m_resampler, &outLayout, AV_SAMPLE_FMT_S16, frame->sample_rate, &inLayout,
        static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    if (rc < 0 || !m_resampler || swr_init(m_resampler) < 0) {
        swr_free(&m_resampler);
    }
    m_inputFormat = frame->format;
    m_inputLayoutMask = layoutKey(inLayout);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);

    // A new sample format or layout only needs a new converter; the sink
    // (and what it is still playing) stays unless its own format changes.
    const bool sinkFits =
        m_sink && frame->sample_rate == m_sampleRate && outChannels == m_outputChannels;
    m_inputChannels = channels;
    if (!sinkFits) {
        m_sampleRate = frame->sample_rate;
        m_outputChannels = outChannels;
        rebuildSink();
    }
    return m_resampler != nullptr;
}

void AudioRenderer::onAudioFrame(AVFrame* frame)
{
    if (!frame) {
        return;
    }
    if (frame->nb_samples > 0 && frame->sample_rate > 0 && frame->ch_layout.nb_channels > 0 &&
        configure(frame)) {
        const int capacity = swr_get_out_samples(m_resampler, frame->nb_samples);
        if (capacity > 0) {
            QByteArray pcm(capacity * m_outputChannels * kBytesPerSample, '\0');
            auto* out = reinterpret_cast<uint8_t*>(pcm.data());
            const int converted =
                swr_convert(m_resampler, &out, capacity,
                            const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
            if (converted > 0 && m_device) {
                const qint64 bytes = qint64(converted) * m_outputChannels * kBytesPerSample;
                // What does not fit into the sink's buffer is lost: the sink
                // plays what arrives, it does not hold the decoder back.
                const qint64 accepted = m_device->write(pcm.constData(), bytes);
                if (accepted > 0) {
                    m_bytesWritten += accepted;
                }
            }
        }
    }
    av_frame_free(&frame);
}
