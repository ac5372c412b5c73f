// Real-time playback of a sealed clip through MediaPlayer into a 1200x720
// VideoRenderer. Prints frames delivered, dropped by pacing (the clip's frame
// count minus the delivered ones: every frame is one or the other), painted,
// and what the main thread spends per frame on conversion + copy.
// Usage: bench_playback CONTAINER KEY_BASE64 FRAMES_IN_CLIP
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>

#include "MediaPlayer.h"
#include "VideoRenderer.h"

namespace {

class CountingRenderer : public VideoRenderer
{
public:
    int paints = 0;
    qint64 paintNs = 0;

protected:
    void paintEvent(QPaintEvent* e) override
    {
        QElapsedTimer t;
        t.start();
        VideoRenderer::paintEvent(e);
        paintNs += t.nsecsElapsed();
        ++paints;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_playback CONTAINER KEY_BASE64 FRAMES_IN_CLIP\n");
        return 2;
    }
    const int framesInClip = QByteArray(argv[3]).toInt();

    CountingRenderer renderer;
    renderer.resize(1200, 720);
    renderer.show();

    MediaPlayer player;
    int delivered = 0;
    qint64 convertNs = 0;
    qint64 worstNs = 0;
    QObject::connect(&player, &MediaPlayer::videoFrameReady, &renderer, [&](const FrameRef& f) {
        QElapsedTimer t;
        t.start();
        renderer.onVideoFrame(f);
        const qint64 ns = t.nsecsElapsed();
        convertNs += ns;
        worstNs = std::max(worstNs, ns);
        ++delivered;
    });
    QElapsedTimer wall;
    QObject::connect(&player, &MediaPlayer::stateChanged, &app, [&](PlayerState s) {
        if (s == PlayerState::Stopped || s == PlayerState::Error) {
            QTimer::singleShot(100, &app, &QCoreApplication::quit);
        }
    });
    QObject::connect(&player, &MediaPlayer::error, &app,
                     [](const QString& m) { std::fprintf(stderr, "%s\n", qPrintable(m)); });
    wall.start();
    player.open(QString::fromLocal8Bit(argv[1]), QByteArray::fromBase64(argv[2]), {});
    app.exec();

    std::printf("played for             %.2f s\n", wall.nsecsElapsed() / 1e9);
    std::printf("frames in clip         %d\n", framesInClip);
    std::printf("frames delivered       %d\n", delivered);
    std::printf("frames dropped (late)  %d\n", framesInClip - delivered);
    std::printf("frames painted         %d\n", renderer.paints);
    if (delivered > 0) {
        std::printf("main thread per frame  %.2f ms conversion + copy (worst %.2f ms)\n",
                    convertNs / 1e6 / delivered, worstNs / 1e6);
    }
    if (renderer.paints > 0) {
        std::printf("main thread per paint  %.2f ms\n", renderer.paintNs / 1e6 / renderer.paints);
    }
    return 0;
}
