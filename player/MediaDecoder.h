#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>

#include "FrameTypes.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVIOContext;
struct AVPacket;
class PlaybackClock;

// Demultiplexes and decodes one opened container on a worker thread of its
// own: the first video and the first audio stream, video paced against the
// playback clock, every frame handed out as a fresh clone that the receiver
// frees. There is no frame queue: the pacing sleep is the only back-pressure.
//
// Sound is handed out as soon as it decodes while a picture is decoded: the
// paced pictures hold back the reading of the interleaved sound. With no
// picture to decode nothing would hold it back: the whole file would be
// pushed into the sink at once (lost past its buffer, or queued where pause
// and seek cannot reach it) and the end reported while it still plays. So
// then each piece of sound waits until it is at most kAudioLeadMs ahead of
// the clock, and it is the sound that reports the position.
//
// Threads: open(), close() and the setters run on the owner's thread;
// decodeLoop() runs on the worker. They share only the atomics below and the
// clock; close() runs after the worker has been joined.
class MediaDecoder : public QObject
{
    Q_OBJECT

public:
    // Sleeps the worker for the given milliseconds. Replaceable so that a test
    // can advance a clock of its own instead of waiting.
    using Sleeper = std::function<void(int ms)>;

    // A wait for a frame's time is cut into slices this long, so pause, seek
    // and stop are noticed within one slice.
    static constexpr int kPacingSliceMs = 20;
    // While paused the loop looks at its flags this often.
    static constexpr int kPausedPollMs = 10;
    // An early frame never plans a wait longer than this; the wait is
    // re-measured every slice anyway, so a frame far ahead still shows on time.
    static constexpr qint64 kMaxPlannedWaitMs = 500;
    // A frame later than this is not worth showing: dropping it lets the
    // picture catch up with the clock (and with the sound).
    static constexpr qint64 kDropLateMs = 200;
    // How far ahead of the clock sound without a picture goes to the sink:
    // five pacing slices bridge a late wake-up, and with one more frame on
    // top it stays within the ~145 ms a PulseAudio sink asks to hold.
    static constexpr qint64 kAudioLeadMs = 100;
    // Pause between two attempts after a failed read.
    static constexpr int kReadRetryMs = 1;
    // About one second of failed reads in a row means the source is gone,
    // not hiccuping: report it instead of spinning for ever.
    static constexpr int kMaxConsecutiveReadErrors = 1000;

    explicit MediaDecoder(QObject* parent = nullptr);
    ~MediaDecoder() override;

    // Takes ownership of io (also on failure). Runs on the caller's thread.
    bool open(AVIOContext* io);
    void close();

    void setClock(PlaybackClock* clock);
    void setSleeper(Sleeper sleeper);

    // Any thread.
    void requestSeek(qint64 ms);
    void setPaused(bool paused);
    void stop();

    qint64 durationMs() const { return m_durationMs; }
    int videoStreamIndex() const { return m_videoStreamIndex; }
    int audioStreamIndex() const { return m_audioStreamIndex; }
    bool hasVideoDecoder() const { return m_videoCodec != nullptr; }
    bool hasAudioDecoder() const { return m_audioCodec != nullptr; }

public slots:
    void decodeLoop();

signals:
    void videoFrameReady(AVFrame* frame);
    void audioFrameReady(AVFrame* frame);
    void durationChanged(qint64 ms);
    // The time of each picture as it is handed out; without a picture, of
    // each piece of sound (up to kAudioLeadMs ahead of the clock).
    void positionChanged(qint64 ms);
    void endOfStream();
    void errorOccurred(const QString& msg);

private:
    bool fail(const QString& msg);
    void carryOutSeek();
    void receiveFrames(AVCodecContext* codec, AVFrame* frame);
    void drainDecoders(AVFrame* frame);
    // False when the frame is to be dropped.
    bool pace(qint64 t);
    bool paceSound(qint64 t);
    qint64 frameTimeMs(const AVFrame* frame, int streamIndex) const;
    void sleepMs(int ms);

    // Owner's thread before the worker starts and after it was joined; the
    // worker's in between.
    AVFormatContext* m_formatContext = nullptr;
    AVCodecContext* m_videoCodec = nullptr;
    AVCodecContext* m_audioCodec = nullptr;
    AVIOContext* m_input = nullptr;
    int m_videoStreamIndex = -1;
    int m_audioStreamIndex = -1;
    qint64 m_durationMs = 0;
    PlaybackClock* m_clock = nullptr;  // not owned; set before the worker starts
    Sleeper m_sleeper;                 // set before the worker starts

    // Shared between the owner's thread and the worker.
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_seekPending{false};
    std::atomic<qint64> m_seekTargetMs{0};
};
