// The video renderer: conversion to an exact deep copy at the frame's own
// size, letterboxed painting on the video background, and frames whose size
// or pixel format change.
#include <QtTest>

#include "DecryptingInput.h"
#include "MediaDecoder.h"
#include "TestMedia.h"
#include "VideoRenderer.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace {

const QRgb kBackground = qRgb(0x0a, 0x0f, 0x1a);

// A frame of one flat colour; luma in limited range (16 black .. 235 white).
FramePtr flatFrame(int w, int h, AVPixelFormat format, int luma)
{
    FramePtr f = allocFrame();
    f->format = format;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f.get(), 0) < 0) {
        return {};
    }
    // Whole lines, padding included: the scaler may read past the width.
    std::memset(f->data[0], luma, size_t(f->linesize[0]) * size_t(h));
    if (format == AV_PIX_FMT_YUV420P) {
        for (int p = 1; p < 3; ++p) {
            std::memset(f->data[p], 128, size_t(f->linesize[p]) * size_t((h + 1) / 2));
        }
    }
    return f;
}

bool isWhite(QRgb c)
{
    return qRed(c) > 240 && qGreen(c) > 240 && qBlue(c) > 240;
}

}  // namespace

class TestVideoRenderer : public QObject
{
    Q_OBJECT

private slots:
    void showsOnlyBackgroundBeforeTheFirstFrameAndAfterClear()
    {
        VideoRenderer r;
        r.resize(200, 100);
        QVERIFY(r.currentImage().isNull());
        QImage shot = r.grab().toImage();
        QCOMPARE(shot.pixel(0, 0), kBackground);
        QCOMPARE(shot.pixel(199, 99), kBackground);

        r.onVideoFrame(flatFrame(64, 32, AV_PIX_FMT_YUV420P, 235));
        QVERIFY(!r.currentImage().isNull());
        QVERIFY(isWhite(r.grab().toImage().pixel(100, 50)));

        r.clear();
        QVERIFY(r.currentImage().isNull());
        shot = r.grab().toImage();
        QCOMPARE(shot.pixel(100, 50), kBackground);
        r.onVideoFrame(nullptr);  // ignored
    }

    void letterbox_data()
    {
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QSize>("widget");
        QTest::addColumn<QRect>("picture");
        QTest::newRow("wide picture, square widget")
            << QSize(1920, 800) << QSize(1000, 1000) << QRect(0, 292, 1000, 416);
        QTest::newRow("4:3 picture, wide widget")
            << QSize(640, 480) << QSize(1200, 720) << QRect(120, 0, 960, 720);
        QTest::newRow("same size") << QSize(320, 240) << QSize(320, 240) << QRect(0, 0, 320, 240);
    }
    void letterbox()
    {
        QFETCH(QSize, frame);
        QFETCH(QSize, widget);
        QFETCH(QRect, picture);
        VideoRenderer r;
        r.resize(widget);
        r.onVideoFrame(flatFrame(frame.width(), frame.height(), AV_PIX_FMT_YUV420P, 235));
        const QImage shot = r.grab().toImage();
        QCOMPARE(shot.size(), widget);
        QVERIFY(isWhite(shot.pixel(picture.topLeft())));
        QVERIFY(isWhite(shot.pixel(picture.bottomRight())));
        if (picture.top() > 0) {
            QCOMPARE(shot.pixel(picture.left(), picture.top() - 1), kBackground);
            QCOMPARE(shot.pixel(picture.left(), picture.bottom() + 1), kBackground);
        }
        if (picture.left() > 0) {
            QCOMPARE(shot.pixel(picture.left() - 1, picture.top()), kBackground);
            QCOMPARE(shot.pixel(picture.right() + 1, picture.top()), kBackground);
        }
    }

    void oddWidthHasNoRowPadding()
    {
        VideoRenderer r;
        r.onVideoFrame(flatFrame(853, 480, AV_PIX_FMT_YUV420P, 235));
        const QImage image = r.currentImage();
        QCOMPARE(image.size(), QSize(853, 480));
        QCOMPARE(image.bytesPerLine(), qsizetype(853 * 4));
        QVERIFY2(isWhite(image.pixel(852, 479)),
                 qPrintable(QString::number(image.pixel(852, 479), 16)));
    }

    void sizeAndPixelFormatChanges_data()
    {
        QTest::addColumn<QSize>("secondSize");
        QTest::addColumn<int>("secondFormat");
        QTest::newRow("smaller, same format") << QSize(640, 360) << int(AV_PIX_FMT_YUV420P);
        // Same size, fewer planes: a scaler kept from the first frame would
        // read planes the second one does not have.
        QTest::newRow("same size, grey") << QSize(1280, 720) << int(AV_PIX_FMT_GRAY8);
        QTest::newRow("same size, two planes") << QSize(1280, 720) << int(AV_PIX_FMT_NV12);
    }
    void sizeAndPixelFormatChanges()
    {
        QFETCH(QSize, secondSize);
        QFETCH(int, secondFormat);
        VideoRenderer r;
        r.onVideoFrame(flatFrame(1280, 720, AV_PIX_FMT_YUV420P, 16));  // black
        QVERIFY(!isWhite(r.currentImage().pixel(0, 0)));
        // Grey frames are full range: white is 255 there.
        const int white = secondFormat == AV_PIX_FMT_GRAY8 ? 255 : 235;
        FramePtr second =
            flatFrame(secondSize.width(), secondSize.height(), AVPixelFormat(secondFormat), white);
        if (secondFormat == AV_PIX_FMT_NV12) {
            std::memset(second->data[1], 128,
                        size_t(second->linesize[1]) * size_t(secondSize.height() / 2));
        }
        r.onVideoFrame(std::move(second));
        const QImage image = r.currentImage();
        QCOMPARE(image.size(), secondSize);
        QVERIFY(isWhite(image.pixel(0, 0)));
        QVERIFY(isWhite(image.pixel(secondSize.width() - 1, secondSize.height() - 1)));
    }

    void decodedClipThatChangesSize()
    {
        const SealedClip clip = sealedClip(QStringLiteral("size_change"));
        QVERIFY(clip.isValid());
        VideoRenderer r;
        MediaDecoder d;
        QList<QSize> shown;
        connect(&d, &MediaDecoder::videoFrameReady, this, [&](const FrameRef& f) {
            r.onVideoFrame(f);
            const QSize s = r.currentImage().size();
            if (shown.isEmpty() || shown.last() != s) {
                shown << s;
            }
        });
        QVERIFY(d.open(openDecryptingInput(clip.container, clip.key)));
        d.decodeLoop();
        QCOMPARE(shown, (QList<QSize>{QSize(1280, 720), QSize(640, 360)}));
    }

    // Decoded through the decoder, as the player shows them: the picture and
    // the screenshot both have the display shape, upright.
    void decodedClipsShowInTheirDisplayShape_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QSize>("shape");
        QTest::newRow("square samples") << "av" << QSize(320, 240);
        QTest::newRow("16:9 PAL DVD, 64:45 samples") << "anamorphic" << QSize(1024, 576);
        QTest::newRow("woven fields, 2:1 samples") << "interlaced" << QSize(640, 480);
        QTest::newRow("phone video turned a quarter") << "rotated" << QSize(240, 320);
    }
    void decodedClipsShowInTheirDisplayShape()
    {
        QFETCH(QString, clip);
        QFETCH(QSize, shape);
        const SealedClip c = sealedClip(clip);
        QVERIFY(c.isValid());
        VideoRenderer r;
        MediaDecoder d;
        int frames = 0;
        connect(&d, &MediaDecoder::videoFrameReady, this, [&](const FrameRef& f) {
            ++frames;
            r.onVideoFrame(f);
        });
        QVERIFY(d.open(openDecryptingInput(c.container, c.key)));
        d.decodeLoop();
        QVERIFY(frames > 0);
        const QImage image = r.currentImage();
        QCOMPARE(image.size(), shape);
        if (clip == QLatin1String("rotated")) {
            // Stored with its left half white; the ffmpeg CLI turns that
            // half to the bottom, so must we (a mirror or the opposite turn
            // would put it at the top or on a side).
            QVERIFY(!isWhite(image.pixel(120, 10)));
            QVERIFY(isWhite(image.pixel(120, 310)));
            QVERIFY(isWhite(image.pixel(5, 200)) && isWhite(image.pixel(234, 200)));
        }
    }
};

QTEST_MAIN(TestVideoRenderer)
#include "tst_videorenderer.moc"
