// Lip sync of the playback engine, measured end to end: a clip that flashes
// white and beeps at the same instants plays through MediaPlayer into a
// VideoRenderer (each painted flash is timestamped) and into a private
// PulseAudio daemon's null sink, whose monitor is recorded with parec (each
// beep onset is timestamped; its pitch tells which second it belongs to).
// Offsets are audio minus video; EBU R37 allows
// sound 40 ms early (-40) to 60 ms late (+60).
// Usage: bench_avsync CONTAINER KEY_BASE64 SPEED...
#include <QApplication>
#include <QAudioDevice>
#include <QAudioSink>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMediaDevices>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "AudioRenderer.h"
#include "MediaPlayer.h"
#include "PlaybackClock.h"
#include "VideoRenderer.h"

namespace {

constexpr int kRecordRate = 48000;
// The beep's amplitude is half of full scale; silence in between is exact.
constexpr int kBeepThreshold = 2000;
// A flash and a beep come once per media second; at least 0.5 s apart in
// wall time at any speed measured here.
constexpr double kMinGapSeconds = 0.4;
// The beep of media second k sounds at kBaseHz + k * kStepHz (see run).
constexpr double kBaseHz = 1000;
constexpr double kStepHz = 200;
// The flash of second k is white over the left (k + 1) / kMarkParts (see run).
constexpr int kMarkParts = 11;
// Within a burst the tone never stays below the threshold this long (a
// whole period of the lowest tone is 48 samples).
constexpr qint64 kQuietSamples = 240;
// parec is asked for this latency; chunks come about this often.
constexpr int kParecLatencyMs = 5;
// The sink's played count is compared with the clock this often, from
// this position on (past the sink's start-up).
constexpr int kLagSampleMs = 100;
constexpr qint64 kLagFromMs = 2000;

qint64 nowNs()
{
    return PlaybackClock::monotonicNs();
}

struct Flash
{
    qint64 ns;       // monotonic time of the paint
    int second;      // media second it belongs to
    qint64 clockMs;  // the clock's position at the paint
};

class FlashRenderer : public VideoRenderer
{
public:
    // Each painted flash after a dark picture; its second is told by how
    // much of its width is white (the left (k + 1) / kMarkParts in second k).
    QList<Flash> flashes;
    const PlaybackClock* clock = nullptr;

protected:
    void paintEvent(QPaintEvent* e) override
    {
        VideoRenderer::paintEvent(e);
        const QImage image = currentImage();
        const int y = image.height() / 2;
        const bool lit = !image.isNull() && qGray(image.pixel(0, y)) > 200;
        if (lit && !m_lit) {
            int white = 0;
            for (int x = 0; x < image.width(); ++x) {
                white += qGray(image.pixel(x, y)) > 200 ? 1 : 0;
            }
            const int second =
                int(std::lround(double(white) * kMarkParts / std::max(1, image.width()))) - 1;
            flashes << Flash{nowNs(), second, clock ? clock->positionMs() : 0};
        }
        m_lit = lit;
    }

private:
    bool m_lit = false;
};

// Recording of the sink's monitor with a mapping from sample index to the
// monotonic clock: each chunk arrives some delay after its last sample was
// captured; the smallest such delay over all chunks is the best estimate.
struct Beep
{
    qint64 ns;   // monotonic time of the onset
    int second;  // media second it belongs to
    double hz;   // measured pitch
};

struct Recording
{
    QByteArray pcm;
    qint64 originNs = std::numeric_limits<qint64>::max();  // time of sample 0

    void add(const QByteArray& chunk, qint64 arrivedNs)
    {
        pcm += chunk;
        const qint64 samples = pcm.size() / 2;
        originNs = std::min(originNs, arrivedNs - samples * 1'000'000'000LL / kRecordRate);
    }

    // Each beep as its onset time and the media second it belongs to,
    // told by its pitch (kBaseHz + k * kStepHz in second k): so a beep is
    // paired with its own flash however late or early it comes.
    QList<Beep> beeps() const
    {
        QList<Beep> out;
        const auto* s = reinterpret_cast<const qint16*>(pcm.constData());
        const qint64 n = pcm.size() / 2;
        qint64 i = 0;
        while (i < n) {
            if (std::abs(int(s[i])) <= kBeepThreshold) {
                ++i;
                continue;
            }
            // The burst lasts until the sound stays below the threshold for
            // longer than any half period of the lowest tone.
            const qint64 onset = i;
            qint64 last = i;
            int crossings = 0;
            int inBurst = 0;
            for (qint64 j = i + 1; j < n && j - last < kQuietSamples; ++j) {
                if ((s[j] >= 0) != (s[j - 1] >= 0)) {
                    ++crossings;
                }
                if (std::abs(int(s[j])) > kBeepThreshold) {
                    last = j;
                    inBurst = crossings;  // the coder's faint tail is not counted
                }
            }
            const double seconds = double(last - onset + 1) / kRecordRate;
            const double hz = inBurst / (2.0 * seconds);
            out << Beep{originNs + onset * 1'000'000'000LL / kRecordRate,
                        int(std::lround((hz - kBaseHz) / kStepHz)), hz};
            i = last + kMinGapSeconds * kRecordRate;
        }
        return out;
    }
};

struct Stats
{
    QList<double> offsets;  // per flash, in order
    int pairs = 0;
    double mean = 0;
    double worstEarly = 0;  // most negative
    double worstLate = 0;   // most positive
};

Stats compare(const QList<Flash>& video, const QList<Beep>& audio)
{
    Stats st;
    double sum = 0;
    // Flash and beep each tell their own second: paired however far apart.
    for (const Flash& f : video) {
        const int second = f.second;
        auto beep = std::find_if(audio.cbegin(), audio.cend(),
                                 [second](const Beep& b) { return b.second == second; });
        if (beep == audio.cend()) {
            continue;
        }
        const double ms = (beep->ns - f.ns) / 1e6;
        st.offsets << ms;
        sum += ms;
        if (st.pairs == 0) {
            st.worstEarly = st.worstLate = ms;
        }
        st.worstEarly = std::min(st.worstEarly, ms);
        st.worstLate = std::max(st.worstLate, ms);
        ++st.pairs;
    }
    st.mean = st.pairs ? sum / st.pairs : 0;
    return st;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_avsync CONTAINER KEY_BASE64 SPEED...\n");
        return 2;
    }
    // A sound server of our own, before Qt looks for one.
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("pulse.sock"));
    const QString runtime = dir.filePath(QStringLiteral("run"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment daemonEnv = QProcessEnvironment::systemEnvironment();
    daemonEnv.insert(QStringLiteral("HOME"), dir.path());
    daemonEnv.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    daemonEnv.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    daemonEnv.remove(QStringLiteral("PULSE_SERVER"));
    QProcess daemon;
    daemon.setProcessEnvironment(daemonEnv);
    daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon.start(
        QStringLiteral("pulseaudio"),
        {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
         QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
         QStringLiteral("--log-level=error"),
         QStringLiteral("--load=module-native-protocol-unix auth-anonymous=1 socket=") + socket,
         QStringLiteral("--load=module-null-sink sink_name=nullsink rate=48000")});
    if (!daemon.waitForStarted(5000)) {
        std::fprintf(stderr, "pulseaudio did not start\n");
        return 1;
    }
    for (int i = 0; i < 100 && !QFile::exists(socket); ++i) {
        QThread::msleep(50);
    }
    QThread::msleep(300);
    qputenv("PULSE_SERVER", ("unix:" + socket).toLocal8Bit());

    QApplication app(argc, argv);
    if (QMediaDevices::defaultAudioOutput().isNull()) {
        std::fprintf(stderr, "no audio output seen\n");
        return 1;
    }
    const QString container = QString::fromLocal8Bit(argv[1]);
    const QByteArray key = QByteArray::fromBase64(argv[2]);

    std::printf("offsets audio minus video, ms (EBU R37: -40 .. +60)\n");
    for (int arg = 3; arg < argc; ++arg) {
        const double speed = std::atof(argv[arg]);
        QProcess parec;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        parec.setProcessEnvironment(env);
        Recording rec;
        QObject::connect(&parec, &QProcess::readyReadStandardOutput,
                         [&] { rec.add(parec.readAllStandardOutput(), nowNs()); });
        parec.start(QStringLiteral("parec"),
                    {QStringLiteral("--latency-msec=%1").arg(kParecLatencyMs), QStringLiteral("-d"),
                     QStringLiteral("nullsink.monitor"), QStringLiteral("--format=s16le"),
                     QStringLiteral("--rate=%1").arg(kRecordRate), QStringLiteral("--channels=1"),
                     QStringLiteral("--raw")});
        if (!parec.waitForStarted(5000)) {
            std::fprintf(stderr, "parec did not start\n");
            return 1;
        }
        // Let the recording settle before the clip starts.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 1000) {
            app.processEvents(QEventLoop::AllEvents, 50);
        }

        FlashRenderer renderer;
        renderer.resize(640, 360);
        renderer.show();
        MediaPlayer player;
        QObject::connect(&player, &MediaPlayer::videoFrameReady, &renderer,
                         &VideoRenderer::onVideoFrame);
        QObject::connect(&player, &MediaPlayer::error, &app,
                         [](const QString& m) { std::fprintf(stderr, "%s\n", qPrintable(m)); });
        bool done = false;
        QObject::connect(&player, &MediaPlayer::stateChanged, &app, [&](PlayerState s) {
            done = s == PlayerState::Stopped || s == PlayerState::Error;
        });
        player.setSpeed(speed);
        // Where the sound is: the sink's count of what it has played,
        // against the clock that paces the pictures, sampled every
        // kLagSampleMs once the start is over.
        QList<double> lags;
        QTimer lagTimer;
        QObject::connect(&lagTimer, &QTimer::timeout, &app, [&] {
            const QAudioSink* sink = player.audioRenderer()->sink();
            const qint64 clock = player.position();
            if (sink && clock > kLagFromMs) {
                lags << clock / speed - sink->processedUSecs() / 1000.0;
            }
        });
        lagTimer.start(kLagSampleMs);
        renderer.clock = player.clock();
        player.open(container, key, {});
        while (!done) {
            app.processEvents(QEventLoop::AllEvents, 50);
        }
        // The sink still plays its last ~150 ms.
        QElapsedTimer tail;
        tail.start();
        while (tail.elapsed() < 800) {
            app.processEvents(QEventLoop::AllEvents, 50);
        }
        lagTimer.stop();
        parec.terminate();
        parec.waitForFinished(3000);

        const QList<Beep> beeps = rec.beeps();
        const Stats st = compare(renderer.flashes, beeps);
        QStringList each;
        for (double ms : st.offsets) {
            each << QString::number(ms, 'f', 0);
        }
        QStringList seconds;
        for (const Beep& b : beeps) {
            seconds << QString::number(b.second) + QLatin1Char('@') + QString::number(b.hz, 'f', 0);
        }
        std::sort(lags.begin(), lags.end());
        QStringList paintLate;
        for (const Flash& f : renderer.flashes) {
            // The flash of second k is due at k s on the clock.
            paintLate << QString::number(f.second) + QLatin1Char('@') +
                             QString::number(f.clockMs - f.second * 1000LL);
        }
        std::printf("%.2fx: flashes (second@clock ms past it at the paint): %s\n", speed,
                    qPrintable(paintLate.join(QLatin1Char(' '))));
        std::printf("%.2fx each: %s  (beeps of seconds %s)\n", speed,
                    qPrintable(each.join(QLatin1Char(' '))),
                    qPrintable(seconds.join(QLatin1Char(' '))));
        std::printf(
            "%.2fx: the sink has played %.0f ms (median; %.0f .. %.0f) less sound than "
            "the clock has run (wall ms)\n",
            speed, lags.isEmpty() ? 0.0 : lags[lags.size() / 2],
            lags.isEmpty() ? 0.0 : lags.first(), lags.isEmpty() ? 0.0 : lags.last());
        std::printf(
            "%.2fx: %d flashes, %d beeps, %d pairs: mean %+6.1f  earliest %+6.1f  "
            "latest %+6.1f  %s\n",
            speed, int(renderer.flashes.size()), int(beeps.size()), st.pairs, st.mean,
            st.worstEarly, st.worstLate,
            st.pairs > 0 && st.worstEarly >= -40 && st.worstLate <= 60 ? "inside R37"
                                                                       : "OUTSIDE R37");
    }
    daemon.terminate();
    daemon.waitForFinished(3000);
    return 0;
}
