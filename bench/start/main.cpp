// Time to first picture and time to seek, as a viewer feels them: from
// MediaPlayer::open() to the first painted frame, and from seek() to the
// first painted frame at the target, median of 20 each, on a 1080p clip with
// a key frame every 2 s. The peer is `ffmpeg -ss T -i plain -frames:v 1 -f
// null -` in the same run, shown whole and without its process start-up
// (`ffmpeg -version`, median of the same count).
// Usage: bench_start CONTAINER KEY_BASE64 PLAIN
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <cstdio>

#include "MediaDecoder.h"
#include "MediaPlayer.h"
#include "PlaybackClock.h"
#include "VideoRenderer.h"

namespace {

constexpr int kRounds = 20;
// Seek targets step through the clip away from key frames (every 2 s): the
// worst case decodes up to 2 s of pictures to reach the target.
constexpr qint64 kFirstTargetMs = 1300;
constexpr qint64 kTargetStepMs = 2700;
constexpr qint64 kClipMs = 9000;
// A frame this close before the target is the one a viewer sees there (the
// player shows frames up to this late rather than drop them).
constexpr qint64 kAtTargetMs = MediaDecoder::kDropLateMs;

class TimedRenderer : public VideoRenderer
{
public:
    qint64 armedNs = -1;  // set: the next paint of a picture is measured
    qint64 paintedNs = -1;

protected:
    void paintEvent(QPaintEvent* e) override
    {
        VideoRenderer::paintEvent(e);
        if (armedNs >= 0 && !currentImage().isNull()) {
            paintedNs = PlaybackClock::monotonicNs();
            armedNs = -1;
        }
    }
};

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : (v[v.size() / 2] + v[(v.size() - 1) / 2]) / 2;
}

double runMs(const QStringList& args)
{
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.start(QStringLiteral("ffmpeg"), args);
    p.waitForFinished(-1);
    return t.nsecsElapsed() / 1e6;
}

bool waitFor(QApplication& app, const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) {
            return false;
        }
        app.processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_start CONTAINER KEY_BASE64 PLAIN\n");
        return 2;
    }
    const QString container = QString::fromLocal8Bit(argv[1]);
    const QByteArray key = QByteArray::fromBase64(argv[2]);
    const QString plain = QString::fromLocal8Bit(argv[3]);

    TimedRenderer renderer;
    renderer.resize(1280, 720);
    renderer.show();
    MediaPlayer player;
    qint64 lastPosition = -1;
    qint64 seekTarget = -1;
    QObject::connect(&player, &MediaPlayer::positionChanged, [&](qint64 ms) { lastPosition = ms; });
    QObject::connect(&player, &MediaPlayer::videoFrameReady, &renderer, [&](AVFrame* f) {
        // After a seek only a picture at the target counts; frames decoded
        // before the jump may still arrive.
        if (seekTarget >= 0 && lastPosition >= seekTarget - kAtTargetMs &&
            lastPosition <= seekTarget + kAtTargetMs && renderer.armedNs < 0 &&
            renderer.paintedNs < 0) {
            renderer.armedNs = 0;
        }
        renderer.onVideoFrame(f);
    });
    QObject::connect(&player, &MediaPlayer::error,
                     [](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });

    QList<double> firstFrame;
    QList<double> seekFrame;
    QList<double> peerSeek;
    QList<double> peerStartup;
    for (int i = 0; i < kRounds; ++i) {
        // Open: the first picture is the one measured.
        player.stop();
        renderer.clear();
        renderer.paintedNs = -1;
        renderer.armedNs = 0;
        seekTarget = -1;
        app.processEvents();
        const qint64 t0 = PlaybackClock::monotonicNs();
        player.open(container, key, {});
        if (!waitFor(
                app, [&] { return renderer.paintedNs >= 0; }, 10000)) {
            std::fprintf(stderr, "no first picture\n");
            return 1;
        }
        firstFrame << (renderer.paintedNs - t0) / 1e6;

        // Seek: the first picture at the target.
        const qint64 target = kFirstTargetMs + (i * kTargetStepMs) % (kClipMs - kFirstTargetMs);
        waitFor(
            app, [] { return false; }, 100);  // let it play a little
        renderer.paintedNs = -1;
        renderer.armedNs = -1;
        seekTarget = target;
        const qint64 s0 = PlaybackClock::monotonicNs();
        player.seek(target);
        if (!waitFor(
                app, [&] { return renderer.paintedNs >= 0; }, 10000)) {
            std::fprintf(stderr, "no picture at %lld ms\n", static_cast<long long>(target));
            return 1;
        }
        seekFrame << (renderer.paintedNs - s0) / 1e6;

        peerSeek << runMs({QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                           QStringLiteral("error"), QStringLiteral("-ss"),
                           QString::number(target / 1000.0), QStringLiteral("-i"), plain,
                           QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-f"),
                           QStringLiteral("null"), QStringLiteral("-")});
        peerStartup << runMs({QStringLiteral("-hide_banner"), QStringLiteral("-version")});
    }
    player.stop();

    const double startup = median(peerStartup);
    std::printf(
        "median of %d                         ours      ffmpeg -ss T -frames:v 1 (minus "
        "its %.0f ms process start-up)\n",
        kRounds, startup);
    std::printf("open -> first painted frame   %8.1f ms\n", median(firstFrame));
    std::printf("seek -> first frame at target %8.1f ms   %8.1f ms (%.1f ms)\n", median(seekFrame),
                median(peerSeek), median(peerSeek) - startup);
    std::printf("worst: first frame %.1f ms, seek %.1f ms\n",
                *std::max_element(firstFrame.begin(), firstFrame.end()),
                *std::max_element(seekFrame.begin(), seekFrame.end()));
    return 0;
}
