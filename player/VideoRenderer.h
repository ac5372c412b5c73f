#pragma once

#include <QImage>
#include <QMutex>
#include <QWidget>
#include <functional>

#include "FrameTypes.h"

struct SwsContext;

// Shows the latest decoded picture, scaled to fit and centred on the video
// background. Each frame is converted to BGRA at its display shape (its
// sample aspect ratio applied to the width, its display-matrix rotation in
// quarter turns) and kept as a deep copy, so the decoder's buffers are
// released at once; the copy is also what a screenshot captures, upright.
class VideoRenderer : public QWidget
{
    Q_OBJECT

public:
    explicit VideoRenderer(QWidget* parent = nullptr);
    ~VideoRenderer() override;

    void clear();
    // Null before the first frame and after clear().
    QImage currentImage() const;
    // What is drawn over the picture, at the size it is shown at: the
    // subtitles. Called on each paint; a null image draws nothing; the
    // image's offset() is its place on the shown picture. The picture's
    // owner (the player page) sets it; the watermark lies above.
    using OverlaySource = std::function<QImage(const QSize& shown)>;
    void setOverlaySource(OverlaySource source) { m_overlay = std::move(source); }

public slots:
    // Converts and keeps one frame, always frees it; null is ignored.
    void onVideoFrame(const FrameRef& frame);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool prepareScaler(const AVFrame* frame);
    void releaseScaler();

    OverlaySource m_overlay;  // main thread only
    mutable QMutex m_mutex;
    QImage m_image;  // guarded by m_mutex

    // Main thread only.
    AVFrame* m_rgbFrame = nullptr;  // BGRA conversion target, owned
    SwsContext* m_scaler = nullptr;
    int m_width = 0;
    int m_height = 0;
    int m_outWidth = 0;       // width after the sample aspect ratio
    int m_sourceFormat = -1;  // pixel format the scaler reads
};
