// Real-time playback of sealed clips through MediaPlayer into a 1200x720
// VideoRenderer, with the sound going to a private PulseAudio null sink as
// a viewer's would. Each clip is played in turn; for each it prints frames
// delivered, dropped by pacing (the clip's frame count minus the delivered
// ones: every frame is one or the other), painted, and what the main thread
// spends per frame: conversion + copy, painting, and within the painting
// the subtitles. With two clips, the same picture without and with a
// subtitle track, it prints what the subtitles add per frame.
// Usage: bench_playback FRAMES_IN_CLIP CONTAINER KEY_BASE64 [CONTAINER KEY_BASE64]
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>

#include "../BenchSession.h"
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

struct Result
{
    double seconds = 0;
    int delivered = 0;
    int paints = 0;
    bool subtitled = false;  // a subtitle track played
    qint64 convertNs = 0;
    qint64 worstConvertNs = 0;
    qint64 paintNs = 0;
    qint64 overlayNs = 0;  // within paintNs
    int overlaysDrawn = 0;

    double perFrameMs(qint64 ns) const { return delivered > 0 ? ns / 1e6 / delivered : 0; }
};

Result play(QApplication& app, const QString& container, const QByteArray& key)
{
    Result r;
    CountingRenderer renderer;
    renderer.resize(1200, 720);
    renderer.show();
    MediaPlayer player;
    renderer.setOverlaySource([&](const QSize& shown) {
        QElapsedTimer t;
        t.start();
        const QImage image = player.subtitleImage(shown);
        r.overlayNs += t.nsecsElapsed();
        r.overlaysDrawn += image.isNull() ? 0 : 1;
        return image;
    });
    QObject::connect(&player, &MediaPlayer::subtitlesChanged, &renderer,
                     qOverload<>(&QWidget::update));
    QObject::connect(&player, &MediaPlayer::videoFrameReady, &renderer, [&](const FrameRef& f) {
        QElapsedTimer t;
        t.start();
        renderer.onVideoFrame(f);
        const qint64 ns = t.nsecsElapsed();
        r.convertNs += ns;
        r.worstConvertNs = std::max(r.worstConvertNs, ns);
        ++r.delivered;
    });
    QObject::connect(&player, &MediaPlayer::stateChanged, &app, [&](PlayerState s) {
        if (s == PlayerState::Stopped || s == PlayerState::Error) {
            QTimer::singleShot(100, &app, &QCoreApplication::quit);
        }
    });
    QObject::connect(&player, &MediaPlayer::error, &app,
                     [](const QString& m) { std::fprintf(stderr, "%s\n", qPrintable(m)); });
    QElapsedTimer wall;
    wall.start();
    player.open(container, key, {});
    r.subtitled = player.subtitleTrack() >= 0;
    app.exec();
    r.seconds = wall.nsecsElapsed() / 1e9;
    r.paints = renderer.paints;
    r.paintNs = renderer.paintNs;
    return r;
}

void report(const char* name, const Result& r, int framesInClip)
{
    std::printf("%s\n", name);
    std::printf("  played for             %.2f s\n", r.seconds);
    std::printf("  subtitle track         %s (drawn on %d paints)\n", r.subtitled ? "on" : "none",
                r.overlaysDrawn);
    std::printf("  frames in clip         %d\n", framesInClip);
    std::printf("  frames delivered       %d\n", r.delivered);
    std::printf("  frames dropped (late)  %d\n", framesInClip - r.delivered);
    std::printf("  frames painted         %d\n", r.paints);
    std::printf("  main thread per frame  %.2f ms conversion + copy (worst %.2f ms)\n",
                r.perFrameMs(r.convertNs), r.worstConvertNs / 1e6);
    std::printf("                         %.2f ms painting, of which %.3f ms subtitles\n",
                r.perFrameMs(r.paintNs), r.perFrameMs(r.overlayNs));
    std::printf("                         %.2f ms in all\n", r.perFrameMs(r.convertNs + r.paintNs));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr,
                     "usage: bench_playback FRAMES_IN_CLIP CONTAINER KEY_BASE64 "
                     "[CONTAINER KEY_BASE64]\n");
        return 2;
    }
    BenchSession session(argc, argv);
    if (!session.isReady()) {
        return 1;
    }
    QApplication& app = session.app();
    const int framesInClip = QByteArray(argv[1]).toInt();
    const Result plain =
        play(app, QString::fromLocal8Bit(argv[2]), QByteArray::fromBase64(argv[3]));
    report(argc == 6 ? "without subtitles" : "playback", plain, framesInClip);
    if (argc == 6) {
        const Result subs =
            play(app, QString::fromLocal8Bit(argv[4]), QByteArray::fromBase64(argv[5]));
        report("with an ASS line always on screen", subs, framesInClip);
        // The picture is the same in both runs, so its conversion is no
        // part of what subtitles cost; painting is, the subtitles' picture
        // made and laid over the frame.
        std::printf(
            "subtitles add per frame  %.2f ms painting on the main thread (target: <= "
            "1 ms), of which %.3f ms making their picture\n",
            subs.perFrameMs(subs.paintNs) - plain.perFrameMs(plain.paintNs),
            subs.perFrameMs(subs.overlayNs));
    }
    return 0;
}
