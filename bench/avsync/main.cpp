// Lip sync of the playback engine, measured end to end: a clip that flashes
// white and beeps at the same instants plays through MediaPlayer into a
// VideoRenderer (each painted flash is timestamped) and into a private
// PulseAudio daemon's null sink, whose monitor is recorded with parec (each
// beep onset is timestamped). Offsets are audio minus video; EBU R37 allows
// sound 40 ms early (-40) to 60 ms late (+60).
// Usage: bench_avsync CONTAINER KEY_BASE64 SPEED...
#include <QApplication>
#include <QAudioDevice>
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

#include "MediaPlayer.h"
#include "PlaybackClock.h"
#include "VideoRenderer.h"

namespace {

constexpr int kRecordRate = 48000;
// The beep's amplitude is half of full scale; silence in between is exact.
constexpr int kBeepThreshold = 2000;
// A flash and a beep come once per media second; at most 1.5 s apart in
// wall time at any speed measured here, at least 0.5 s.
constexpr double kMinGapSeconds = 0.4;
// parec is asked for this latency; chunks come about this often.
constexpr int kParecLatencyMs = 5;

qint64 nowNs()
{
    return PlaybackClock::monotonicNs();
}

class FlashRenderer : public VideoRenderer
{
public:
    QList<qint64> flashes;  // monotonic ns of each painted white picture after a dark one

protected:
    void paintEvent(QPaintEvent* e) override
    {
        VideoRenderer::paintEvent(e);
        const QImage image = currentImage();
        const bool white =
            !image.isNull() && qGray(image.pixel(image.width() / 2, image.height() / 2)) > 200;
        if (white && !m_white) {
            flashes << nowNs();
        }
        m_white = white;
    }

private:
    bool m_white = false;
};

// Recording of the sink's monitor with a mapping from sample index to the
// monotonic clock: each chunk arrives some delay after its last sample was
// captured; the smallest such delay over all chunks is the best estimate.
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

    QList<qint64> onsets() const
    {
        QList<qint64> out;
        const auto* s = reinterpret_cast<const qint16*>(pcm.constData());
        const qint64 n = pcm.size() / 2;
        qint64 lastLoud = -kRecordRate;
        for (qint64 i = 0; i < n; ++i) {
            if (std::abs(int(s[i])) > kBeepThreshold) {
                if (i - lastLoud > kMinGapSeconds * kRecordRate) {
                    out << originNs + i * 1'000'000'000LL / kRecordRate;
                }
                lastLoud = i;
            }
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

Stats compare(const QList<qint64>& video, const QList<qint64>& audio, double speed)
{
    Stats st;
    double sum = 0;
    // Beeps come once per media second: a beep is paired with a flash when
    // it lies from 300 ms before to 700 ms after it (media time), which
    // leaves no two candidates; sound is more often late than early.
    const double earliest = -0.3e9 / speed;
    const double latest = 0.7e9 / speed;
    for (qint64 v : video) {
        qint64 best = -1;
        for (qint64 a : audio) {
            if (double(a - v) >= earliest && double(a - v) < latest) {
                best = a;
                break;
            }
        }
        if (best < 0) {
            continue;
        }
        const double ms = (best - v) / 1e6;
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
        parec.terminate();
        parec.waitForFinished(3000);

        const QList<qint64> beeps = rec.onsets();
        const Stats st = compare(renderer.flashes, beeps, speed);
        QStringList each;
        for (double ms : st.offsets) {
            each << QString::number(ms, 'f', 0);
        }
        std::printf("%.2fx each: %s\n", speed, qPrintable(each.join(QLatin1Char(' '))));
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
