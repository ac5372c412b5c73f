#include "SoundProbe.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <cmath>

#include "PlaybackClock.h"

namespace {

constexpr qint64 kNsPerSecond = 1'000'000'000;
// A daemon that does not answer within this is not going to.
constexpr int kDaemonStartMs = 10000;
constexpr int kPactlMs = 3000;
constexpr int kStopMs = 5000;
// parec is asked for this latency: chunks come about this often.
constexpr int kParecLatencyMs = 5;
// The reader looks at its stop flag at least this often.
constexpr int kReadPollMs = 20;
constexpr int kFirstSamplesMs = 5000;
// The chunks whose arrival bounds a sample's time: those of the next 1.5 s.
// Hundreds of chunks, so at least one came without delay, yet short enough
// that a lost stretch of recording misplaces only the samples just before it.
constexpr qint64 kOriginWindowSamples = MonitorRecorder::kRate * 3 / 2;
// Within a beep the tone never stays below the threshold this long (a whole
// period of the lowest tone is 48 samples).
constexpr qint64 kQuietSamples = 240;
// Shorter bursts are clicks (a stream cut off), not beeps: a beep lasts 40 ms
// of media, 27 ms at 1.5x.
constexpr qint64 kMinBeepSamples = MonitorRecorder::kRate * 8 / 1000;
// After a beep the coder's tail is skipped; a beep of the position jumped to
// may follow the last one of the position left soon after, so not for long.
constexpr qint64 kAfterBeepSamples = MonitorRecorder::kRate / 10;
constexpr int kWhite = 200;

qint64 nowNs()
{
    return PlaybackClock::monotonicNs();
}

}  // namespace

PrivatePulse::PrivatePulse() = default;

PrivatePulse::~PrivatePulse()
{
    stop();
}

bool PrivatePulse::answers() const
{
    QProcess pactl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PULSE_SERVER"), server());
    pactl.setProcessEnvironment(env);
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    if (!pactl.waitForFinished(kPactlMs)) {
        pactl.kill();
        pactl.waitForFinished(kPactlMs);
        return false;
    }
    return pactl.exitStatus() == QProcess::NormalExit && pactl.exitCode() == 0;
}

bool PrivatePulse::start(QString* why)
{
    auto fail = [why](const QString& reason) {
        if (why) {
            *why = reason;
        }
        return false;
    };
    for (const char* tool : {"pulseaudio", "pactl", "parec"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            return fail(QStringLiteral("%1 is missing (pulseaudio, pulseaudio-utils)")
                            .arg(QString::fromLatin1(tool)));
        }
    }
    if (!m_dir.isValid()) {
        return fail(QStringLiteral("no temporary folder"));
    }
    m_socket = m_dir.filePath(QStringLiteral("pulse.sock"));
    const QString runtime = m_dir.filePath(QStringLiteral("run"));
    QDir().mkpath(runtime);
    // The daemon refuses a runtime folder others can read.
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_dir.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    env.remove(QStringLiteral("PULSE_SERVER"));
    m_daemon.setProcessEnvironment(env);
    m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // In the foreground, so this process owns its pid and stops it; never
    // idle-exiting, so a pause in the measurement does not lose the sink.
    m_daemon.start(
        QStringLiteral("pulseaudio"),
        {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
         QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
         QStringLiteral("--disallow-exit"), QStringLiteral("--log-level=error"),
         QStringLiteral("--load=module-native-protocol-unix auth-anonymous=1 socket=") + m_socket,
         QStringLiteral("--load=module-null-sink sink_name=nullsink rate=%1").arg(kSinkRate)});
    if (!m_daemon.waitForStarted(kStopMs)) {
        return fail(QStringLiteral("pulseaudio did not start: ") + m_daemon.errorString());
    }
    QElapsedTimer waited;
    waited.start();
    while (!(QFile::exists(m_socket) && answers())) {
        // Sleeps like msleep, and notices a daemon that gave up.
        if (m_daemon.waitForFinished(50)) {
            return fail(QStringLiteral("pulseaudio exited with %1").arg(m_daemon.exitCode()));
        }
        if (waited.elapsed() > kDaemonStartMs) {
            stop();
            return fail(
                QStringLiteral("pulseaudio did not answer within %1 ms").arg(kDaemonStartMs));
        }
    }
    m_hadPreviousServer = qEnvironmentVariableIsSet("PULSE_SERVER");
    m_previousServer = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", server().toLocal8Bit());
    return true;
}

void PrivatePulse::stop()
{
    if (m_daemon.state() == QProcess::NotRunning) {
        return;
    }
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(kStopMs)) {
        m_daemon.kill();
        m_daemon.waitForFinished(kStopMs);
    }
    // Nothing started later should look for the daemon that is gone.
    if (m_hadPreviousServer) {
        qputenv("PULSE_SERVER", m_previousServer);
    } else {
        qunsetenv("PULSE_SERVER");
    }
}

bool PrivatePulse::toolsPresent()
{
    return !QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("parec")).isEmpty();
}

bool PrivatePulse::isRunning() const
{
    return m_daemon.state() == QProcess::Running;
}

MonitorRecorder::MonitorRecorder() = default;

MonitorRecorder::~MonitorRecorder()
{
    stop();
}

bool MonitorRecorder::start(QString* why)
{
    m_stopping.store(false);
    m_readerState.store(0);
    m_reader = std::thread([this] { readLoop(); });
    QElapsedTimer waited;
    waited.start();
    while (sampleCount() == 0) {
        if (m_readerState.load() < 0 || waited.elapsed() > kFirstSamplesMs) {
            stop();
            if (why) {
                *why =
                    m_readerState.load() < 0
                        ? QStringLiteral("parec did not start")
                        : QStringLiteral("parec gave no sound within %1 ms").arg(kFirstSamplesMs);
            }
            return false;
        }
        QThread::msleep(5);
    }
    return true;
}

void MonitorRecorder::stop()
{
    m_stopping.store(true);
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

void MonitorRecorder::readLoop()
{
    // Made, used and ended on this thread only: its blocking calls need no
    // event loop, and the arrival time is taken the moment read() returns.
    QProcess parec;
    parec.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    parec.start(QStringLiteral("parec"),
                {QStringLiteral("--latency-msec=%1").arg(kParecLatencyMs), QStringLiteral("-d"),
                 QStringLiteral("nullsink.monitor"), QStringLiteral("--format=s16le"),
                 QStringLiteral("--rate=%1").arg(kRate), QStringLiteral("--channels=1"),
                 QStringLiteral("--raw")});
    if (!parec.waitForStarted(kStopMs)) {
        m_readerState.store(-1);
        return;
    }
    m_readerState.store(1);
    while (!m_stopping.load()) {
        if (parec.waitForReadyRead(kReadPollMs)) {
            const qint64 arrived = nowNs();
            addChunk(parec.readAllStandardOutput(), arrived);
        } else if (parec.state() == QProcess::NotRunning) {
            m_readerState.store(-1);
            break;
        }
    }
    parec.terminate();
    if (!parec.waitForFinished(kStopMs)) {
        parec.kill();
        parec.waitForFinished(kStopMs);
    }
}

void MonitorRecorder::addChunk(const QByteArray& pcm, qint64 arrivedNs)
{
    QMutexLocker lock(&m_mutex);
    QByteArray bytes = m_oddByte + pcm;
    m_oddByte.clear();
    if (bytes.size() % 2) {
        m_oddByte = bytes.right(1);
        bytes.chop(1);
    }
    if (bytes.isEmpty()) {
        return;
    }
    m_pcm += bytes;
    const qint64 end = m_pcm.size() / 2;
    m_chunks.append(Chunk{end, arrivedNs - end * kNsPerSecond / kRate});
}

qint64 MonitorRecorder::sampleCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_pcm.size() / 2;
}

qint64 MonitorRecorder::originNearLocked(qint64 index) const
{
    if (m_chunks.isEmpty()) {
        return -1;
    }
    // The chunks that end at or after the sample, up to the window; near
    // the end of the recording the window slides back to stay full.
    const qint64 last = m_chunks.last().endSample;
    qint64 from = std::max<qint64>(index, 0);
    if (from + kOriginWindowSamples > last) {
        from = std::max<qint64>(0, last - kOriginWindowSamples);
    }
    const qint64 to = from + kOriginWindowSamples;
    auto it = std::lower_bound(m_chunks.cbegin(), m_chunks.cend(), from,
                               [](const Chunk& c, qint64 s) { return c.endSample < s; });
    qint64 origin = std::numeric_limits<qint64>::max();
    for (; it != m_chunks.cend() && it->endSample <= to; ++it) {
        origin = std::min(origin, it->originNs);
    }
    return origin == std::numeric_limits<qint64>::max() ? m_chunks.last().originNs : origin;
}

qint64 MonitorRecorder::timeOfSampleLocked(qint64 index) const
{
    if (m_chunks.isEmpty()) {
        return -1;
    }
    return originNearLocked(index) + index * kNsPerSecond / kRate;
}

qint64 MonitorRecorder::timeOfSampleNs(qint64 index) const
{
    QMutexLocker lock(&m_mutex);
    return timeOfSampleLocked(index);
}

qint64 MonitorRecorder::sampleAtLocked(qint64 ns) const
{
    const qint64 n = m_pcm.size() / 2;
    if (m_chunks.isEmpty()) {
        return 0;
    }
    // The origin moves only where samples were lost: two rounds settle it.
    qint64 index = 0;
    qint64 origin = m_chunks.first().originNs;
    for (int round = 0; round < 3; ++round) {
        const qint64 delta = ns - origin;
        index = delta <= 0 ? 0 : (delta * kRate + kNsPerSecond - 1) / kNsPerSecond;
        index = std::min(index, n);
        origin = originNearLocked(index);
    }
    return index;
}

qint64 MonitorRecorder::sampleAtNs(qint64 ns) const
{
    QMutexLocker lock(&m_mutex);
    return sampleAtLocked(ns);
}

QList<Beep> MonitorRecorder::beeps(qint64 fromNs, qint64 toNs) const
{
    QMutexLocker lock(&m_mutex);
    QList<Beep> out;
    const auto* s = reinterpret_cast<const qint16*>(m_pcm.constData());
    const qint64 n = m_pcm.size() / 2;
    qint64 i = sampleAtLocked(fromNs);
    const qint64 end = toNs == std::numeric_limits<qint64>::max() ? n : sampleAtLocked(toNs);
    while (i < end) {
        if (std::abs(int(s[i])) <= kLoudThreshold) {
            ++i;
            continue;
        }
        // The burst lasts until the sound stays below the threshold for
        // longer than any half period of the lowest tone; its pitch is its
        // zero crossings over its length.
        const qint64 onset = i;
        qint64 last = i;
        int crossings = 0;
        int inBurst = 0;
        for (qint64 j = i + 1; j < n && j - last < kQuietSamples; ++j) {
            if ((s[j] >= 0) != (s[j - 1] >= 0)) {
                ++crossings;
            }
            if (std::abs(int(s[j])) > kLoudThreshold) {
                last = j;
                inBurst = crossings;  // the coder's faint tail is not counted
            }
        }
        if (last - onset + 1 < kMinBeepSamples) {
            i = last + 1;
            continue;
        }
        const double seconds = double(last - onset + 1) / kRate;
        const double hz = inBurst / (2.0 * seconds);
        out << Beep{timeOfSampleLocked(onset),
                    int(std::lround((hz - ProbeMarks::kBaseHz) / ProbeMarks::kStepHz)), hz};
        i = last + kAfterBeepSamples;
    }
    return out;
}

qint64 MonitorRecorder::firstLoudAfterNs(qint64 ns, int threshold) const
{
    QMutexLocker lock(&m_mutex);
    const auto* s = reinterpret_cast<const qint16*>(m_pcm.constData());
    const qint64 n = m_pcm.size() / 2;
    for (qint64 i = sampleAtLocked(ns); i < n; ++i) {
        if (std::abs(int(s[i])) > threshold) {
            return timeOfSampleLocked(i);
        }
    }
    return -1;
}

qint64 MonitorRecorder::lastLoudNs(int threshold) const
{
    QMutexLocker lock(&m_mutex);
    const auto* s = reinterpret_cast<const qint16*>(m_pcm.constData());
    for (qint64 i = m_pcm.size() / 2 - 1; i >= 0; --i) {
        if (std::abs(int(s[i])) > threshold) {
            return timeOfSampleLocked(i);
        }
    }
    return -1;
}

qint64 MonitorRecorder::newestNs() const
{
    QMutexLocker lock(&m_mutex);
    const qint64 n = m_pcm.size() / 2;
    return n == 0 ? -1 : timeOfSampleLocked(n - 1);
}

MonitorRecorder::Mapping MonitorRecorder::mapping() const
{
    QMutexLocker lock(&m_mutex);
    Mapping m;
    m.chunks = int(m_chunks.size());
    if (m_chunks.isEmpty()) {
        return m;
    }
    QList<double> delays;
    delays.reserve(m_chunks.size());
    for (const Chunk& c : m_chunks) {
        delays << (c.originNs - originNearLocked(c.endSample)) / 1e6;
    }
    std::sort(delays.begin(), delays.end());
    m.medianChunkDelayMs = delays[delays.size() / 2];
    m.originMovedMs = (originNearLocked(m_chunks.last().endSample - 1) - originNearLocked(0)) / 1e6;
    return m;
}

FlashRenderer::FlashRenderer(QWidget* parent) : VideoRenderer(parent) {}

void FlashRenderer::clearRecords()
{
    m_flashes.clear();
    m_paints.clear();
}

int FlashRenderer::secondOf(const QImage& source, int markParts)
{
    if (source.isNull() || source.width() < markParts) {
        return -1;
    }
    const QImage image =
        source.depth() == 32 ? source : source.convertToFormat(QImage::Format_RGB32);
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(image.height() / 2));
    if (qGray(row[0]) <= kWhite) {
        return -1;
    }
    int white = 0;
    for (int x = 0; x < image.width(); ++x) {
        white += qGray(row[x]) > kWhite ? 1 : 0;
    }
    return int(std::lround(double(white) * markParts / image.width())) - 1;
}

double FlashRenderer::brightnessOf(const QImage& image)
{
    if (image.isNull()) {
        return -1;
    }
    // A coarse grid is enough to tell a dark picture from a bright one.
    constexpr int kGrid = 16;
    double sum = 0;
    for (int gy = 0; gy < kGrid; ++gy) {
        for (int gx = 0; gx < kGrid; ++gx) {
            sum += qGray(image.pixel((2 * gx + 1) * image.width() / (2 * kGrid),
                                     (2 * gy + 1) * image.height() / (2 * kGrid)));
        }
    }
    return sum / (kGrid * kGrid);
}

void FlashRenderer::paintEvent(QPaintEvent* event)
{
    VideoRenderer::paintEvent(event);
    const qint64 painted = nowNs();
    const QImage image = currentImage();
    const int second = secondOf(image);
    // A new flash: lit after a dark picture, or lit with another second
    // (a jump straight from one flash onto another).
    if (second >= 0 && second != m_lastSecond) {
        m_flashes << Flash{painted, second, m_clock ? m_clock->positionMs() : -1};
    }
    m_lastSecond = second;
    if (m_recordPaints) {
        m_paints << Paint{painted, brightnessOf(image)};
    }
}

SyncReport pairFlashesWithBeeps(const QList<Flash>& flashes, const QList<Beep>& beeps,
                                qint64 fromNs, qint64 toNs)
{
    SyncReport r;
    QList<Beep> inWindow;
    for (const Beep& b : beeps) {
        if (b.ns >= fromNs && b.ns < toNs) {
            inWindow << b;
        }
    }
    r.beeps = int(inWindow.size());
    double sum = 0;
    for (const Flash& f : flashes) {
        if (f.ns < fromNs || f.ns >= toNs) {
            continue;
        }
        ++r.flashes;
        const Beep* nearest = nullptr;
        for (const Beep& b : inWindow) {
            if (b.second == f.second &&
                (!nearest || std::abs(b.ns - f.ns) < std::abs(nearest->ns - f.ns))) {
                nearest = &b;
            }
        }
        if (!nearest) {
            continue;
        }
        const double ms = (nearest->ns - f.ns) / 1e6;
        if (r.pairs.isEmpty()) {
            r.minMs = r.maxMs = ms;
        }
        r.minMs = std::min(r.minMs, ms);
        r.maxMs = std::max(r.maxMs, ms);
        sum += ms;
        r.pairs << SyncPair{f.second, f.ns, nearest->ns, ms};
    }
    r.meanMs = r.pairs.isEmpty() ? 0 : sum / r.pairs.size();
    return r;
}
