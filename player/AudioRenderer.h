#pragma once

#include <QAudioSink>
#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <deque>

#include "FrameTypes.h"
struct SwrContext;
class QTimer;

// Plays decoded audio frames and says which moment of the media is being
// heard. Each frame is converted to interleaved signed 16-bit at its own
// sample rate (mono stays mono, all else becomes stereo) and queued; the
// queue is fed into a QAudioSink on the default output no faster than the
// sink's small buffer frees, so what the sound server holds is never more
// than kSinkBufferMs plus its own device latency. A seek or a pause can then
// drop or stop the sound at once, and the sound can be the clock: every
// byte handed to the sink is mapped back to the media time it came from.
//
// Without a sound server (headless machines) the sink yields no push device;
// frames are then converted and dropped, never kept, and nothing is heard.
// Lives on the player's thread only.
class AudioRenderer : public QObject
{
    Q_OBJECT

public:
    // The sink's buffer: small enough that what it holds is not heard as a
    // delay after a seek or pause, and above the ~40 ms that a sound server
    // needs to ride out a busy GUI thread. PulseAudio starts playing once
    // the buffer is full, so the decoder must send at least this much ahead.
    static constexpr int kSinkBufferMs = 80;
    // While sound waits in the queue the sink is looked at this often: a
    // fifth of the buffer, so it never runs dry between two looks.
    static constexpr int kFeedIntervalMs = 5;

    explicit AudioRenderer(QObject* parent = nullptr);
    ~AudioRenderer() override;

    // Linear gain 0.0..1.0, kept for every sink made later.
    void setVolume(float v);
    float volume() const { return m_volume; }
    // Silence without stopping: the sink keeps running and the sound keeps
    // its place as the clock.
    void setMuted(bool muted);
    bool isMuted() const { return m_muted; }

    // Drops everything queued and whatever the sink still holds, at once:
    // nothing of the position being left is heard afterwards.
    void reset();
    // Stops the sound where it is heard: the sink is emptied at once, and
    // what it had not yet played goes back to the front of the queue, so
    // resume() plays on without a gap or a repeat.
    void pause();
    void resume();
    bool isPaused() const { return m_paused; }
    // Sound keeps arriving but is held in the queue until released: the
    // first sound after a seek waits for the first picture there.
    void setHeld(bool held);
    // The last sound has arrived: the remainder is padded so the sink plays
    // it even when it is shorter than what the sink waits for to start.
    void finish();

    // The media time (ms) of the sound now leaving the sink; -1 while none
    // has been heard since the last reset.
    qint64 heardMs() const;
    // True while sound has been handed over and not all of it was played:
    // only then does heardMs() move with the sound.
    bool isSounding() const;
    // Sound handed to the sink and not yet heard, in wall-clock ms (the
    // latency in force: the sink's buffer plus the device's own delay).
    qint64 queuedMs() const;
    // Sound waiting here for room in the sink, in wall-clock ms.
    qint64 pendingMs() const;
    // No sound left to hear: nothing waits here and the sink played all.
    bool isDrained() const;
    // There is somewhere for sound to go: the current sink's push device,
    // or before the first frame, a default output device.
    bool canPlay() const;

    // What the current sink was built for; 0 before the first frame.
    int sampleRate() const { return m_sampleRate; }
    int inputChannels() const { return m_inputChannels; }
    int outputChannels() const { return m_outputChannels; }
    QAudioSink* sink() const { return m_sink; }
    // Bytes of PCM handed to the current sink since it (re)started.
    qint64 bytesWritten() const { return m_bytesWritten; }

public slots:
    // Plays one frame (the caller keeps it); null is ignored. mediaMs is the
    // frame's time in the file and speed how much media time one second of
    // it carries (above 1 when time-stretched for a faster playback); a
    // negative time continues where the last frame ended.
    void onAudioFrame(const AVFrame* frame, qint64 mediaMs = -1, double speed = 1.0);

private:
    // A run of bytes handed to the sink and the media time it starts at.
    struct Span
    {
        qint64 firstByte;  // in the sink's count of bytes written
        qint64 mediaMs;    // media time of that byte
        double msPerByte;  // media ms each byte carries
        bool padding;      // silence after the end; not media
    };
    // Converted sound waiting for room in the sink.
    struct Pending
    {
        QByteArray pcm;
        qint64 mediaMs;
        double msPerByte;
        bool padding;
    };

    bool configure(const AVFrame* frame);
    void rebuildSink();
    void restartSink();
    void feed();
    void scheduleFeed();
    qint64 bytesPerSecond() const;
    qint64 playedBytes() const;
    void applyVolume();
    // The span holding byte b of the sink's count, or null.
    const Span* spanAt(qint64 b) const;

    QPointer<QAudioSink> m_sink;        // child of this
    QPointer<QIODevice> m_device;       // push device, owned by the sink
    QTimer* m_feedTimer = nullptr;      // child; runs while sound waits
    SwrContext* m_resampler = nullptr;  // owned
    int m_sampleRate = 0;               // rate of converter and sink
    int m_inputChannels = 0;            // channel count the converter expects
    int m_outputChannels = 0;           // 1 or 2: the sink's channels
    int m_inputFormat = -1;             // sample format the converter expects
    quint64 m_inputLayoutMask = 0;      // channel layout the converter expects
    float m_volume = 1.0f;
    bool m_muted = false;
    bool m_paused = false;
    bool m_held = false;
    qint64 m_bytesWritten = 0;
    qint64 m_nextMediaMs = 0;     // where the last frame ended
    std::deque<Pending> m_queue;  // oldest first
    qint64 m_queuedBytes = 0;     // sum of m_queue
    std::deque<Span> m_spans;     // oldest first; only those not yet heard and the one being heard
    // Bytes already written of the sink's current stream that were silence
    // padded after the end; not counted as sound still to hear.
    qint64 m_soundEndByte = -1;  // -1 while the end has not come
    // Kept since the last restart: what was handed over, so a pause can
    // give back what was not yet played.
    QByteArray m_written;
    qint64 m_writtenBase = 0;  // sink byte count at m_written's first byte
};
