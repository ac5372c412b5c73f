#include "AudioRenderer.h"

#include <QAudioFormat>
#include <QAudioSink>
#include <QByteArray>
#include <QMediaDevices>
#include <QTimer>
#include <algorithm>

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
    m_feedTimer = new QTimer(this);
    m_feedTimer->setTimerType(Qt::PreciseTimer);
    m_feedTimer->setInterval(kFeedIntervalMs);
    connect(m_feedTimer, &QTimer::timeout, this, &AudioRenderer::feed);
}

AudioRenderer::~AudioRenderer()
{
    if (m_sink) {
        m_sink->stop();
        delete m_sink;
    }
    swr_free(&m_resampler);
}

void AudioRenderer::applyVolume()
{
    if (m_sink) {
        m_sink->setVolume(m_muted ? 0.0 : double(m_volume));
    }
}

void AudioRenderer::setVolume(float v)
{
    m_volume = v;
    applyVolume();
}

void AudioRenderer::setMuted(bool muted)
{
    m_muted = muted;
    applyVolume();
}

qint64 AudioRenderer::bytesPerSecond() const
{
    return qint64(m_sampleRate) * m_outputChannels * kBytesPerSample;
}

qint64 AudioRenderer::playedBytes() const
{
    if (!m_sink || !m_device || bytesPerSecond() <= 0) {
        return 0;
    }
    const qint64 frameBytes = qint64(m_outputChannels) * kBytesPerSample;
    const qint64 bytes = m_sink->processedUSecs() * bytesPerSecond() / 1'000'000;
    return std::min(bytes - bytes % frameBytes, m_bytesWritten);
}

void AudioRenderer::restartSink()
{
    m_feedTimer->stop();
    m_spans.clear();
    m_written.clear();
    m_writtenBase = 0;
    m_bytesWritten = 0;
    m_soundEndByte = -1;
    if (m_sink) {
        // Qt's reset ends the sound server's stream, and with it whatever
        // the stream still held; start() opens a fresh one that counts from 0.
        m_sink->reset();
        m_device = m_sink->start();
    }
}

void AudioRenderer::reset()
{
    m_queue.clear();
    m_queuedBytes = 0;
    m_nextMediaMs = 0;
    restartSink();
    if (m_resampler) {
        swr_convert(m_resampler, nullptr, 0, nullptr, 0);
    }
}

void AudioRenderer::pause()
{
    if (m_paused) {
        return;
    }
    m_paused = true;
    if (!m_sink || !m_device) {
        return;
    }
    // What the sink holds and has not played goes back to the queue, piece
    // by piece with its own media time, in front of what was waiting.
    const qint64 played = playedBytes();
    std::deque<Pending> unplayed;
    for (size_t i = 0; i < m_spans.size(); ++i) {
        const Span& s = m_spans[i];
        const qint64 end = i + 1 < m_spans.size() ? m_spans[i + 1].firstByte : m_bytesWritten;
        const qint64 from = std::max(s.firstByte, played);
        if (from >= end || from < m_writtenBase) {
            continue;
        }
        Pending p;
        p.pcm = m_written.mid(from - m_writtenBase, end - from);
        p.mediaMs = s.mediaMs + qint64(double(from - s.firstByte) * s.msPerByte);
        p.msPerByte = s.msPerByte;
        p.padding = s.padding;
        m_queuedBytes += p.pcm.size();
        unplayed.push_back(std::move(p));
    }
    m_queue.insert(m_queue.begin(), unplayed.begin(), unplayed.end());
    restartSink();
}

void AudioRenderer::resume()
{
    if (!m_paused) {
        return;
    }
    m_paused = false;
    scheduleFeed();
}

void AudioRenderer::setHeld(bool held)
{
    m_held = held;
    if (!held) {
        scheduleFeed();
    }
}

void AudioRenderer::finish()
{
    if (!m_device || bytesPerSecond() <= 0) {
        return;
    }
    // A sound server starts a stream only once its buffer is full: a last
    // piece shorter than that (a seek close to the end) would never play.
    const qint64 frameBytes = qint64(m_outputChannels) * kBytesPerSample;
    qint64 bytes = bytesPerSecond() * kSinkBufferMs / 1000;
    bytes -= bytes % frameBytes;
    Pending p;
    p.pcm = QByteArray(int(bytes), '\0');
    p.mediaMs = m_nextMediaMs;
    p.msPerByte = 0;
    p.padding = true;
    m_queuedBytes += bytes;
    m_queue.push_back(std::move(p));
    scheduleFeed();
}

void AudioRenderer::scheduleFeed()
{
    feed();
    if (!m_queue.empty() && !m_held && !m_paused && m_device) {
        if (!m_feedTimer->isActive()) {
            m_feedTimer->start();
        }
    } else {
        m_feedTimer->stop();
    }
}

void AudioRenderer::feed()
{
    if (m_held || m_paused || !m_sink || !m_device) {
        m_feedTimer->stop();
        return;
    }
    const qint64 frameBytes = qint64(m_outputChannels) * kBytesPerSample;
    qint64 room = m_sink->bytesFree();
    room -= room % frameBytes;
    while (room > 0 && !m_queue.empty()) {
        Pending& p = m_queue.front();
        const qint64 n = std::min<qint64>(room, p.pcm.size());
        const qint64 accepted = m_device->write(p.pcm.constData(), n);
        if (accepted <= 0) {
            break;
        }
        if (!p.padding) {
            m_soundEndByte = -1;
        } else if (m_soundEndByte < 0) {
            m_soundEndByte = m_bytesWritten;
        }
        m_spans.push_back(Span{m_bytesWritten, p.mediaMs, p.msPerByte, p.padding});
        m_written.append(p.pcm.constData(), int(accepted));
        m_bytesWritten += accepted;
        m_queuedBytes -= accepted;
        room -= accepted;
        if (accepted < p.pcm.size()) {
            p.mediaMs += qint64(double(accepted) * p.msPerByte);
            p.pcm.remove(0, int(accepted));
            break;
        }
        m_queue.pop_front();
    }
    // What was played is of no more use: only the unplayed bytes and the
    // span being heard are kept.
    const qint64 played = playedBytes();
    while (m_spans.size() > 1 && m_spans[1].firstByte <= played) {
        m_spans.pop_front();
    }
    if (played > m_writtenBase) {
        m_written.remove(0, int(std::min<qint64>(played - m_writtenBase, m_written.size())));
        m_writtenBase = played;
    }
    if (m_queue.empty()) {
        m_feedTimer->stop();
    }
}

const AudioRenderer::Span* AudioRenderer::spanAt(qint64 b) const
{
    const Span* found = nullptr;
    for (const Span& s : m_spans) {
        if (s.firstByte > b) {
            break;
        }
        found = &s;
    }
    return found;
}

qint64 AudioRenderer::heardMs() const
{
    if (m_spans.empty() || m_bytesWritten <= 0) {
        return -1;
    }
    const qint64 played = playedBytes();
    if (played <= 0) {
        return -1;
    }
    const Span* s = spanAt(played);
    if (!s) {
        return -1;
    }
    return s->mediaMs + qint64(double(played - s->firstByte) * s->msPerByte);
}

bool AudioRenderer::isSounding() const
{
    if (m_paused || !m_device || m_bytesWritten <= 0) {
        return false;
    }
    // A sink that ran dry says so; its played count then stays short of
    // what was written by the latency it subtracts, and would never catch up.
    if (m_sink->state() != QAudio::ActiveState) {
        return false;
    }
    const qint64 end = m_soundEndByte >= 0 ? m_soundEndByte : m_bytesWritten;
    return playedBytes() < end;
}

qint64 AudioRenderer::queuedMs() const
{
    if (bytesPerSecond() <= 0 || !m_device) {
        return 0;
    }
    return (m_bytesWritten - playedBytes()) * 1000 / bytesPerSecond();
}

qint64 AudioRenderer::pendingMs() const
{
    return bytesPerSecond() > 0 ? m_queuedBytes * 1000 / bytesPerSecond() : 0;
}

bool AudioRenderer::canPlay() const
{
    if (m_sink) {
        return m_device != nullptr;
    }
    return !QMediaDevices::defaultAudioOutput().isNull();
}

bool AudioRenderer::isDrained() const
{
    if (!m_device) {
        return true;
    }
    const bool soundWaits =
        std::any_of(m_queue.cbegin(), m_queue.cend(), [](const Pending& p) { return !p.padding; });
    return !soundWaits && !isSounding();
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
    m_sink->setBufferSize(bytesPerSecond() * kSinkBufferMs / 1000);
    applyVolume();
    // Sound of the old format (queued or in the old sink) cannot go on.
    m_queue.clear();
    m_queuedBytes = 0;
    m_spans.clear();
    m_written.clear();
    m_writtenBase = 0;
    m_bytesWritten = 0;
    m_soundEndByte = -1;
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

void AudioRenderer::onAudioFrame(const AVFrame* frame, qint64 mediaMs, double speed)
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
            // Without a device nothing could ever take it: not kept.
            if (converted > 0 && m_device) {
                pcm.truncate(converted * m_outputChannels * kBytesPerSample);
                const double msPerByte = speed * 1000.0 / double(bytesPerSecond());
                Pending p;
                p.mediaMs = mediaMs >= 0 ? mediaMs : m_nextMediaMs;
                p.msPerByte = msPerByte;
                p.padding = false;
                m_nextMediaMs = p.mediaMs + qint64(double(pcm.size()) * msPerByte);
                m_queuedBytes += pcm.size();
                p.pcm = std::move(pcm);
                // Sound after padding: the end was not the end after all.
                while (!m_queue.empty() && m_queue.back().padding) {
                    m_queuedBytes -= m_queue.back().pcm.size();
                    m_queue.pop_back();
                }
                m_queue.push_back(std::move(p));
                scheduleFeed();
            }
        }
    }
}
