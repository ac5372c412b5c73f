#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>

#include "FrameFilter.h"
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
// Every time handed out (positions, duration, seek targets, pacing) counts
// from the file's own start time, which broadcast recordings put anywhere
// but at 0. Cover art (an attached picture) is not the video stream.
// Pictures leave with their display shape: the sample aspect ratio filled in
// and the container's rotation attached as display-matrix side data.
// A seek lands exactly: what lies between the key frame before the target and
// the target is decoded but not handed out. Interlaced pictures are
// deinterlaced, and away from 1x the sound is
// time-stretched to the clock's speed at its own pitch, both here on the
// worker so the player's thread never filters.
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

    // How far (in media time) sound alone goes out ahead of the clock at a
    // speed: the same kAudioLeadMs of stretched sound in the sink at any
    // speed, so half speed does not overfill the sink's buffer.
    static qint64 audioLeadMs(double speed);

    explicit MediaDecoder(QObject* parent = nullptr);
    ~MediaDecoder() override;

    // Takes ownership of io (also on failure). Runs on the caller's thread.
    bool open(AVIOContext* io);
    void close();

    void setClock(PlaybackClock* clock);
    void setSleeper(Sleeper sleeper);

    // Any thread.
    // Returns the seek's number: frames decoded after it carry this number
    // or a higher one (see frameSeekGeneration()).
    quint64 requestSeek(qint64 ms);
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
    // The receiver owns the frame (av_frame_free); none is made while the
    // signal has no receiver.
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
    void filterVideo(AVFrame* frame);
    void filterAudio(AVFrame* frame);
    void pullVideo();
    void pullAudio();
    void flushDeinterlacer();
    void flushTempo();
    void showVideo(AVFrame* frame, qint64 t);
    void sendAudio(AVFrame* frame, qint64 t);
    // False when the frame is to be dropped.
    bool pace(qint64 t);
    bool paceSound(qint64 t);
    // Milliseconds since the file's start of a timestamp in a time base.
    qint64 timeMs(qint64 ts, AVRational tb) const;
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
    qint64 m_startUs = 0;              // the file's start time, FFmpeg's microseconds
    QByteArray m_displayMatrix;        // the video stream's rotation, empty if none
    PlaybackClock* m_clock = nullptr;  // not owned; set before the worker starts
    Sleeper m_sleeper;                 // set before the worker starts

    // The worker's only.
    FrameFilter m_deinterlacer;
    FrameFilter m_tempo;
    double m_tempoSpeed = 1.0;      // the speed m_tempo stretches to
    qint64 m_tempoStartMs = 0;      // media time of the first sound into m_tempo
    qint64 m_tempoSamplesOut = 0;   // samples m_tempo gave out since then
    AVFrame* m_filtered = nullptr;  // what a filter gives out, one at a time
    quint64 m_generation = 0;       // number of the last seek carried out
    // After a seek, pictures and sound before the target (from the key frame
    // the jump lands on) are decoded but not handed out; -1 when none.
    qint64 m_videoFloorMs = -1;
    qint64 m_audioFloorMs = -1;

    // Shared between the owner's thread and the worker.
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_seekPending{false};
    std::atomic<qint64> m_seekTargetMs{0};
    std::atomic<quint64> m_seekRequests{0};  // number of the latest seek asked for
};
