#pragma once

#include <QAudioSink>
#include <QIODevice>
#include <QObject>
#include <QPointer>

#include "FrameTypes.h"
struct SwrContext;

// Plays decoded audio frames as they arrive: each frame is converted to
// interleaved signed 16-bit at its own sample rate (mono stays mono, all else
// becomes stereo) and pushed into a QAudioSink on the default output. It
// neither paces nor drives the clock. Lives on the main thread only.
//
// Without a sound server (headless machines) the sink yields no push device;
// frames are then converted and dropped, never kept.
class AudioRenderer : public QObject
{
    Q_OBJECT

public:
    explicit AudioRenderer(QObject* parent = nullptr);
    ~AudioRenderer() override;

    // Linear gain 0.0..1.0, kept for every sink made later.
    void setVolume(float v);
    float volume() const { return m_volume; }

    // Discards what the sink and the converter still hold (used on seek).
    void reset();

    // What the current sink was built for; 0 before the first frame.
    int sampleRate() const { return m_sampleRate; }
    int inputChannels() const { return m_inputChannels; }
    int outputChannels() const { return m_outputChannels; }
    QAudioSink* sink() const { return m_sink; }
    // Bytes of PCM the push device accepted so far.
    qint64 bytesWritten() const { return m_bytesWritten; }

public slots:
    // Plays one frame and always frees it; null is ignored.
    void onAudioFrame(AVFrame* frame);

private:
    bool configure(const AVFrame* frame);
    void rebuildSink();

    QPointer<QAudioSink> m_sink;        // child of this
    QPointer<QIODevice> m_device;       // push device, owned by the sink
    SwrContext* m_resampler = nullptr;  // owned
    int m_sampleRate = 0;               // rate of converter and sink
    int m_inputChannels = 0;            // channel count the converter expects
    int m_outputChannels = 0;           // 1 or 2: the sink's channels
    int m_inputFormat = -1;             // sample format the converter expects
    quint64 m_inputLayoutMask = 0;      // channel layout the converter expects
    float m_volume = 1.0f;
    qint64 m_bytesWritten = 0;
};
