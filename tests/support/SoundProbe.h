#pragma once

// What a viewer sees and hears, timestamped on the playback clock's time base
// (PlaybackClock::monotonicNs()), for the benchmarks and tests that judge lip
// sync and latency by what comes out of a real sound server and a real
// widget rather than by the engine's own counters:
// - PrivatePulse: a PulseAudio daemon of this process's own with a null sink;
// - MonitorRecorder: the null sink's monitor recorded with parec, each sample
//   mapped to the time it was played;
// - FlashRenderer: a VideoRenderer that notes when each flash is painted;
// - pairFlashesWithBeeps(): flashes and beeps of the same media second
//   paired into offsets audio minus video.
//
// The clip these read is marked at every whole media second k: one picture
// flashes white over the left (k + 1) / kMarkParts of its width and the sound
// beeps at kBaseHz + k * kStepHz. So each flash and each beep tells its own
// second, and a jump, a pause or a second file cannot pair the wrong ones.
#include <QByteArray>
#include <QImage>
#include <QList>
#include <QMutex>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QVector>
#include <atomic>
#include <limits>
#include <thread>

#include "VideoRenderer.h"

class PlaybackClock;

struct ProbeMarks
{
    // Up to 25 seconds: the widest mark still leaves a grey edge, and the
    // highest beep (5.8 kHz) stays far below the recording's 24 kHz limit.
    static constexpr int kMarkParts = 26;
    static constexpr double kBaseHz = 1000;
    static constexpr double kStepHz = 200;
};

// A PulseAudio daemon in the foreground with a home, runtime and config
// folder of its own, so it neither meets nor disturbs any other daemon (or
// the developer's desktop), and works the same for root and for a user.
class PrivatePulse
{
public:
    PrivatePulse();
    ~PrivatePulse();
    PrivatePulse(const PrivatePulse&) = delete;
    PrivatePulse& operator=(const PrivatePulse&) = delete;

    static constexpr int kSinkRate = 48000;

    // Starts the daemon, waits until `pactl info` answers, and points
    // PULSE_SERVER of this process (and of every child started afterwards)
    // at it. Must come before anything here asks QMediaDevices, which reads
    // the variable once. False with the reason when it cannot.
    bool start(QString* why = nullptr);
    void stop();
    bool isRunning() const;
    // Whether this machine has the daemon and the recorder (the Debian
    // packages pulseaudio and pulseaudio-utils).
    static bool toolsPresent();
    QString server() const { return QStringLiteral("unix:") + m_socket; }

private:
    bool answers() const;

    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_socket;
    QByteArray m_previousServer;
    bool m_hadPreviousServer = false;
};

struct Beep
{
    qint64 ns;   // monotonic time of the onset
    int second;  // media second it belongs to, told by its pitch
    double hz;   // measured pitch
};

// parec on the null sink's monitor (mono, 16-bit, 48 kHz), read on a thread
// of its own so that a busy GUI thread neither delays the arrival times nor
// lets the pipe overflow.
//
// Time of a sample: a chunk can arrive no earlier than its last sample was
// played, so arrival minus the samples' duration bounds the time of sample 0
// from above; the smallest such bound over the chunks near a sample is the
// best estimate. Near, not all: after a lost stretch of recording the
// count of samples no longer matches the time, and only the bounds from
// after the loss hold for the samples after it.
class MonitorRecorder
{
public:
    static constexpr int kRate = PrivatePulse::kSinkRate;
    // The beeps are half of full scale and silence is exact; well above the
    // coder's faint ringing.
    static constexpr int kLoudThreshold = 2000;

    MonitorRecorder();
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // Starts parec against PULSE_SERVER and waits until samples flow.
    bool start(QString* why = nullptr);
    void stop();

    // How the reader hands over what it read; a test feeds its own.
    void addChunk(const QByteArray& pcm, qint64 arrivedNs);

    qint64 sampleCount() const;
    // -1 before the first sample.
    qint64 timeOfSampleNs(qint64 index) const;
    // The first sample played at or after ns; sampleCount() if none yet.
    qint64 sampleAtNs(qint64 ns) const;

    // The beeps whose onset lies in [fromNs, toNs).
    QList<Beep> beeps(qint64 fromNs = 0, qint64 toNs = std::numeric_limits<qint64>::max()) const;
    // Time of the first sample above the threshold at or after ns; -1 if none.
    qint64 firstLoudAfterNs(qint64 ns, int threshold = kLoudThreshold) const;
    // Time of the last sample above the threshold; -1 if none.
    qint64 lastLoudNs(int threshold = kLoudThreshold) const;
    // Time of the newest sample; -1 before the first.
    qint64 newestNs() const;

    struct Mapping
    {
        int chunks = 0;
        // How late a chunk typically came after its estimated play time
        // (the reader's and the pipe's delay).
        double medianChunkDelayMs = 0;
        // How far the estimate of sample 0's time moved from the start of
        // the recording to its end: near zero unless samples were lost.
        double originMovedMs = 0;
    };
    Mapping mapping() const;

private:
    struct Chunk
    {
        qint64 endSample;  // samples recorded up to and including this chunk
        qint64 originNs;   // arrival minus the duration of endSample samples
    };

    void readLoop();
    qint64 originNearLocked(qint64 index) const;
    qint64 timeOfSampleLocked(qint64 index) const;
    qint64 sampleAtLocked(qint64 ns) const;

    mutable QMutex m_mutex;
    QByteArray m_pcm;       // guarded
    QList<Chunk> m_chunks;  // guarded; in recording order
    QByteArray m_oddByte;   // guarded; half a sample left from the last read
    std::thread m_reader;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_readerState{0};  // 0 starting, 1 running, -1 failed
};

struct Flash
{
    qint64 ns;       // monotonic time of the paint
    int second;      // media second it belongs to
    qint64 clockMs;  // the playback clock at the paint; -1 without one
};

struct Paint
{
    qint64 ns;          // monotonic time of the paint
    double brightness;  // mean grey level 0..255 of the picture; -1 for none
};

// Notes each painted flash: a picture whose middle row starts white, after
// one that did not (or of another second). The second is read from how much
// of that row is white.
class FlashRenderer : public VideoRenderer
{
public:
    explicit FlashRenderer(QWidget* parent = nullptr);

    // Also note every paint, with the picture's brightness.
    void setRecordPaints(bool on) { m_recordPaints = on; }
    void setClock(const PlaybackClock* clock) { m_clock = clock; }

    const QList<Flash>& flashes() const { return m_flashes; }
    const QList<Paint>& paints() const { return m_paints; }
    void clearRecords();

    // The second a picture marks, or -1 when it is not a flash.
    static int secondOf(const QImage& image, int markParts = ProbeMarks::kMarkParts);
    static double brightnessOf(const QImage& image);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<Flash> m_flashes;
    QList<Paint> m_paints;
    const PlaybackClock* m_clock = nullptr;
    int m_lastSecond = -1;
    bool m_recordPaints = false;
};

struct SyncPair
{
    int second;
    qint64 flashNs;
    qint64 beepNs;
    double offsetMs;  // audio minus video
};

struct SyncReport
{
    QList<SyncPair> pairs;  // in the order of the flashes
    int flashes = 0;        // flashes in the window
    int beeps = 0;          // beeps in the window
    double meanMs = 0;
    double minMs = 0;
    double maxMs = 0;

    bool empty() const { return pairs.isEmpty(); }
};

// Each flash in [fromNs, toNs) paired with the beep of the same second in
// that window that is nearest to it in time. A flash with no such beep is
// left out (the report's flashes count still has it).
SyncReport pairFlashesWithBeeps(const QList<Flash>& flashes, const QList<Beep>& beeps,
                                qint64 fromNs, qint64 toNs);
