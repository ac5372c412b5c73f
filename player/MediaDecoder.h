#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "BitmapSubtitles.h"
#include "FrameFilter.h"
#include "FrameTypes.h"
#include "MediaInfo.h"
#include "PlayerState.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVIOContext;
struct AVPacket;
struct AVStream;
class PlaybackClock;

// Demultiplexes and decodes one opened container on a worker thread of its
// own: the first video and the first audio stream, every frame handed out as
// a fresh reference in a FrameRef, freed with its last copy.
//
// Every time handed out (positions, duration, seek targets, pacing) counts
// from the file's own start time, which broadcast recordings put anywhere
// but at 0. Cover art (an attached picture) is not the video stream.
// Pictures leave with their display shape: the sample aspect ratio filled in
// and the container's rotation attached as display-matrix side data.
// An exact seek lands on its target: what lies between the key frame before
// the target and the target is decoded but not handed out; a fast seek shows
// the key frame itself at once. Interlaced pictures are deinterlaced, and
// away from 1x the sound is time-stretched to the clock's speed at its own
// pitch, both here on the worker so the player's thread never filters.
//
// Pacing, in ffplay's way but on one thread: decoded pictures and decoded
// sound wait in queues of their own. A picture leaves when the clock reaches
// it (or is dropped when too late); sound leaves kAudioLeadMs ahead of the
// clock, so the sink never holds more than a few tens of milliseconds and a
// speed change is heard soon. Reading goes on while the sound queue reaches
// too short a way ahead or too few pictures wait, so sound interleaved
// behind its pictures is still read in time and sound interleaved ahead of
// them never holds the reading back. Without pictures the sound alone paces
// the reading: the whole file is never pushed out at once.
//
// The first picture after an open or a seek is handed out as soon as it is
// decoded, even while paused: the player holds its clock there meanwhile.
//
// Threads: open(), close() and the setters run on the owner's thread;
// decodeLoop() runs on the worker. They share only the atomics below, the
// wake-up signal and the clock; close() runs after the worker has been joined.
class MediaDecoder : public QObject
{
    Q_OBJECT

public:
    // Sleeps the worker for the given milliseconds. Replaceable so that a test
    // can advance a clock of its own instead of waiting.
    using Sleeper = std::function<void(int ms)>;

    // A wait for a frame's time is cut into slices this long, so pause, seek
    // and stop are noticed, and the sound queue looked after, within one.
    static constexpr int kPacingSliceMs = 10;
    // While paused the loop looks at its flags this often.
    static constexpr int kPausedPollMs = 10;
    // A frame later than this is not worth showing: dropping it lets the
    // picture catch up with the clock (and with the sound).
    static constexpr qint64 kDropLateMs = 200;
    // How far ahead of the clock sound goes to the player: the sink's buffer
    // (AudioRenderer::kSinkBufferMs, which a sound server fills before it
    // starts) and 40 ms more for a late wake-up of this loop or of the
    // player's thread. Also about how long the sound of an old speed goes on
    // after a speed change.
    static constexpr qint64 kAudioLeadMs = 120;
    // Decoded sound waiting for its time; a file whose sound is interleaved
    // further ahead of its pictures than this (some 20 s of AAC) has it sent
    // early rather than held without bound.
    static constexpr size_t kMaxQueuedAudioFrames = 1000;
    // Reading goes on while the decoded sound reaches less than this beyond
    // what is due to leave: sound is interleaved with its pictures, and
    // decoding pictures lags reading by the decoder's frame threads and
    // reordering, so the sound must be read that far ahead or it comes late.
    static constexpr qint64 kAudioReadAheadMs = 200;
    // Pictures decoded ahead of their time. A few keep the picture smooth
    // over an uneven decode; the most are there so that sound interleaved
    // behind its pictures can still be read, and bound the memory (some
    // 50 MB at 1080p).
    static constexpr size_t kMinQueuedPictures = 3;
    static constexpr size_t kMaxQueuedPictures = 16;
    // Pause between two attempts after a failed read.
    static constexpr int kReadRetryMs = 1;
    // About one second of failed reads in a row means the source is gone,
    // not hiccuping: report it instead of spinning for ever.
    static constexpr int kMaxConsecutiveReadErrors = 1000;
    // A file damaged throughout would log every packet: one line for the
    // first refusal, then one per this many.
    static constexpr qint64 kRefusedPacketLogEvery = 500;
    // Sound decoded ahead of a seek's target so the decoder has settled.
    static constexpr qint64 kSoundPrerollMs = 100;
    // A picture's time for a frame step in a file that tells no rate (25 fps).
    static constexpr qint64 kFallbackFrameMs = 40;
    // How long a text subtitle that names no end is shown.
    static constexpr qint64 kOpenEndedSubtitleMs = 5000;
    // An exact seek with subtitles on first reads this far before its target for
    // lines begun before the key frame it lands on and still on screen at
    // the target: dialogue lines last seconds. Only demuxed and decrypted,
    // some 5 MB of a 4 Mbit/s lecture.
    static constexpr qint64 kSubtitleLookbackMs = 10000;

    // How far (in media time) sound alone goes out ahead of the clock at a
    // speed: the same kAudioLeadMs of stretched sound in the sink at any
    // speed, so half speed does not overfill the sink's buffer.
    static qint64 audioLeadMs(double speed);
    // Whether sound is stretched to follow this speed; outside that range
    // it is played as it is and cannot be the clock.
    static bool stretchesTo(double speed);

    // A decoder for the stream with this player's settings; null when
    // there is none or it does not open. The caller frees it.
    static AVCodecContext* openStreamDecoder(const AVStream* stream);

    explicit MediaDecoder(QObject* parent = nullptr);
    ~MediaDecoder() override;

    // Takes ownership of io (also on failure). Runs on the caller's thread.
    bool open(AVIOContext* io);
    void close();

    void setClock(PlaybackClock* clock);
    void setSleeper(Sleeper sleeper);

    // Any thread.
    // Returns the seek's number: frames decoded after it carry this number
    // or a higher one (see frameSeekGeneration()). Paused, the picture at
    // the target is still decoded and handed out.
    quint64 requestSeek(qint64 ms, SeekMode mode = SeekMode::Exact);
    // Another sound track of the file, carried out with the next seek (the
    // player follows it with one to the position, so the new sound starts
    // where the picture is). False when the stream is not sound.
    bool selectAudioStream(int streamIndex);
    // Another subtitle track (-1: none), carried out with the next seek as
    // for sound. False when the stream is not a subtitle track.
    bool selectSubtitleStream(int streamIndex);
    // The subtitle track decoded now, -1 for none (any thread), and its
    // style header (owner's thread, after open).
    int subtitleStreamIndex() const { return m_subtitleStreamIndex.load(); }
    QByteArray subtitleHeader() const;
    // Fonts the file carries (Matroska attachments), for the subtitles'
    // styles; read at open (owner's thread).
    struct AttachedFont
    {
        QString name;
        QByteArray data;
    };
    QList<AttachedFont> attachedFonts() const { return m_fonts; }
    void setPaused(bool paused);
    void stop();

    qint64 durationMs() const { return m_durationMs; }
    int videoStreamIndex() const { return m_videoStreamIndex; }
    // After the worker started, the stream last switched to (any thread).
    int audioStreamIndex() const { return m_audioStreamIndex.load(); }
    bool hasVideoDecoder() const { return m_videoCodec != nullptr; }
    // Any thread: a switch of sound track may give a file sound it had not.
    bool hasAudioDecoder() const { return m_hasAudioDecoder.load(); }
    // Chapters and tracks, as read at open; owner's thread.
    const MediaInfo& mediaInfo() const { return m_info; }

public slots:
    void decodeLoop();

signals:
    // None is made while the signal has no receiver.
    void videoFrameReady(FrameRef frame);
    // mediaMs: the sound's time in the file; speed: media time per second
    // of it (above 1 when stretched for faster playback).
    void audioFrameReady(FrameRef frame, qint64 mediaMs, double speed);
    void durationChanged(qint64 ms);
    // A text subtitle event (an ASS line) of the current track, with its
    // time in the file and how long it shows.
    void subtitleEvent(const QByteArray& assLine, qint64 startMs, qint64 durationMs);
    // A bitmap subtitle of the current track (one without parts ends the
    // one before).
    void subtitlePicture(const SubtitlePicture& picture);
    // The subtitle track changed at a seek: its stream (-1: none) and header.
    void subtitleTrackChanged(int streamIndex, const QByteArray& header);
    // The time of each picture as it is handed out; without a picture, of
    // each piece of sound (kAudioLeadMs ahead of the clock).
    void positionChanged(qint64 ms);
    void endOfStream();
    void errorOccurred(const QString& msg);

private:
    bool fail(const QString& msg);
    // At open: the picture, the default sound, then their decoders and the
    // default subtitles; false when neither picture nor sound decodes.
    void chooseStreams();
    bool openDecoders();
    void carryOutSeek();
    // The sound track asked for by selectAudioStream, if any: its decoder
    // replaces the current one; on failure the current one stays.
    void switchAudioStream();
    void switchSubtitleStream();
    void decodeSubtitle(AVPacket* packet);
    void readSubtitlesBefore(qint64 targetMs);
    QSize subtitleCanvas() const;
    void receiveFrames(AVCodecContext* codec, AVFrame* frame);
    // One packet into its decoder, and the frames that come of it on.
    void sendPacket(AVCodecContext* codec, const AVPacket* packet, AVFrame* frame);
    void drainDecoders(AVFrame* frame);

    // The loop's steps, in the order a turn takes them.
    struct ReadState
    {
        int errors = 0;       // consecutive failed reads
        bool failed = false;  // gave up reading: the end is reported as a loss
    };
    // True when the turn is spent idling (paused, nothing to step to).
    bool idleWhilePaused();
    // After the input ended: true while queued output still plays out;
    // false once the end (or the loss) is reported and the loop stops.
    bool playOutEnd(bool readFailed);
    void endInput(AVFrame* frame);
    // True when a packet was read into `packet`.
    bool readPacket(AVPacket* packet, AVFrame* frame, ReadState& state);
    void decodePacket(AVPacket* packet, AVFrame* frame);
    void filterVideo(AVFrame* frame);
    void filterAudio(AVFrame* frame);
    void pullVideo();
    void pullAudio();
    void flushDeinterlacer();
    void flushTempo();
    void queueVideo(AVFrame* frame, qint64 t);
    // A clone with its display shape and seek number; null when out of memory.
    FramePtr preparePicture(const AVFrame* frame) const;
    void emitPicture(FramePtr out, qint64 t);
    // Hands out the queued pictures that are due, drops those too late.
    void serviceVideo();
    void clearVideoQueue();
    // Whether reading should go on: the sound queue reaches too short a way
    // ahead of the clock, or too few pictures are decoded ahead.
    bool wantsMore() const;
    // How long nothing is due, at most a pacing slice.
    int msUntilSomethingDue() const;
    void sendAudio(AVFrame* frame, qint64 t, double speed);
    void queueAudio(AVFrame* frame);
    // Hands out the queued sound that is due; sound first, whatever the
    // clock says, once the queue is full.
    void serviceAudio();
    void clearAudioQueue();
    qint64 audioTimeMs(const AVFrame* frame) const;
    // Media time of the next sound the stretcher gives out.
    qint64 tempoOutputMs() const;
    // Milliseconds since the file's start of a timestamp in a time base.
    qint64 timeMs(qint64 ts, AVRational tb) const;
    void sleepMs(int ms);
    void wake();
    // A packet of sound that ends well before the seek's target.
    bool soundBeforeTarget(const AVPacket* packet) const;
    void skipUnseenPictures(const AVPacket* packet);

    // Owner's thread before the worker starts and after it was joined; the
    // worker's in between.
    AVFormatContext* m_formatContext = nullptr;
    AVCodecContext* m_videoCodec = nullptr;
    AVCodecContext* m_audioCodec = nullptr;
    AVCodecContext* m_subtitleCodec = nullptr;  // subtitles of the chosen track
    AVIOContext* m_input = nullptr;
    int m_videoStreamIndex = -1;
    // Written by the owner at open, by the worker at a switch of sound track.
    std::atomic<int> m_audioStreamIndex{-1};
    MediaInfo m_info;
    QList<AttachedFont> m_fonts;  // written at open
    qint64 m_durationMs = 0;
    qint64 m_startUs = 0;              // the file's start time, FFmpeg's microseconds
    QByteArray m_displayMatrix;        // the video stream's rotation, empty if none
    PlaybackClock* m_clock = nullptr;  // not owned; set before the worker starts
    Sleeper m_sleeper;                 // set before the worker starts

    // The worker's only.
    FrameFilter m_deinterlacer;
    FrameFilter m_tempo;
    double m_tempoSpeed = 1.0;          // the speed m_tempo stretches to
    qint64 m_tempoStartMs = 0;          // media time of the first sound into m_tempo
    qint64 m_tempoSamplesOut = 0;       // samples m_tempo gave out since then
    int m_tempoRate = 1;                // their sample rate
    FramePtr m_filtered;                // what the deinterlacer gives out, one at a time
    FramePtr m_filteredAudio;           // what the stretcher gives out: a wait for a picture
                                        // coming out of the deinterlacer may hand out sound
                                        // meanwhile
    std::deque<FramePtr> m_audioQueue;  // decoded, not yet due
    struct QueuedPicture
    {
        FramePtr frame;  // null when nobody receives pictures
        qint64 t;        // its media time
    };
    std::deque<QueuedPicture> m_videoQueue;  // decoded and prepared, not yet due
    bool m_endOfInput = false;               // all was read and the decoders drained
    quint64 m_generation = 0;                // number of the last seek carried out
    // After a seek, pictures and sound before the target (from the key frame
    // the jump lands on) are decoded but not handed out; -1 when none.
    qint64 m_videoFloorMs = -1;
    qint64 m_audioFloorMs = -1;
    // The next picture is the first after an open or seek: handed out as
    // soon as it is decoded while the player holds its clock for it.
    bool m_awaitFirstPicture = true;
    // Paused with a seek: reading goes on until the target's picture is out.
    bool m_stepping = false;
    qint64 m_refusedPackets = 0;  // packets a decoder refused as damaged

    // Shared between the owner's thread and the worker.
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_seekPending{false};
    std::atomic<int> m_wantedAudioStream{-1};  // -1: no switch asked for
    std::atomic<bool> m_hasAudioDecoder{false};
    // -2: no switch asked for; -1: subtitles off; else the stream wanted.
    std::atomic<int> m_wantedSubtitleStream{-2};
    std::atomic<int> m_subtitleStreamIndex{-1};  // written by the owner at open, the worker after
    std::atomic<bool> m_seekFast{false};
    std::atomic<qint64> m_seekTargetMs{0};
    std::atomic<quint64> m_seekRequests{0};  // number of the latest seek asked for
    // Set by the worker as the last thing it does. The owner waits for the
    // thread (QThread::wait) before it closes or destroys the decoder;
    // close() reads this first, which puts the worker's last writes (its
    // queues, its filters, its frames) before the closing also for
    // ThreadSanitizer, which cannot see inside Qt.
    std::atomic<bool> m_workerDone{false};
    // Ends the worker's sleep early; m_woken under m_wakeMutex.
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    bool m_woken = false;
};
