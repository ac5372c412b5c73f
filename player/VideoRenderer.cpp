#include "VideoRenderer.h"

#include <QMutexLocker>
#include <QPainter>
#include <QTransform>
#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace {

const QColor kBackground(0x0a, 0x0f, 0x1a);

// Display width of a picture: non-square samples (anamorphic DVD, HDV) are
// stretched out, the height stays.
int displayWidth(const AVFrame* frame)
{
    const AVRational sar = frame->sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0) {
        return frame->width;
    }
    const qint64 w = (qint64(frame->width) * sar.num + sar.den / 2) / sar.den;
    return int(std::clamp<qint64>(w, 1, qint64(frame->width) * 4));
}

// Clockwise quarter turns, in degrees, that put the picture upright.
int uprightRotation(const AVFrame* frame)
{
    const AVFrameSideData* side = av_frame_get_side_data(frame, AV_FRAME_DATA_DISPLAYMATRIX);
    if (!side || side->size < 9 * sizeof(int32_t)) {
        return 0;
    }
    const double counterClockwise =
        av_display_rotation_get(reinterpret_cast<const int32_t*>(side->data));
    if (std::isnan(counterClockwise)) {
        return 0;
    }
    const int quarter = int(std::lround(-counterClockwise / 90.0));
    return ((quarter % 4) + 4) % 4 * 90;
}

}  // namespace

VideoRenderer::VideoRenderer(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setStyleSheet(QStringLiteral("background-color: #0a0f1a;"));
}

VideoRenderer::~VideoRenderer()
{
    releaseScaler();
}

void VideoRenderer::releaseScaler()
{
    sws_freeContext(m_scaler);
    m_scaler = nullptr;
    if (m_rgbFrame) {
        av_freep(&m_rgbFrame->data[0]);
        av_frame_free(&m_rgbFrame);
    }
    m_width = 0;
    m_height = 0;
    m_outWidth = 0;
    m_sourceFormat = -1;
}

bool VideoRenderer::prepareScaler(const AVFrame* frame)
{
    // The pixel format is part of the key: a scaler made for three planes
    // reading a two-plane picture of the same size would read past it.
    const int outWidth = displayWidth(frame);
    if (m_scaler && frame->width == m_width && frame->height == m_height &&
        frame->format == m_sourceFormat && outWidth == m_outWidth) {
        return true;
    }
    releaseScaler();
    // The fast unscaled YUV-to-RGB path converts pixel pairs and leaves the
    // last column of an odd-width picture unwritten; the accurate path
    // converts every pixel, so odd widths take it.
    const int flags = SWS_BILINEAR | ((frame->width % 2) ? SWS_ACCURATE_RND : 0);
    m_scaler =
        sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                       outWidth, frame->height, AV_PIX_FMT_BGRA, flags, nullptr, nullptr, nullptr);
    m_rgbFrame = av_frame_alloc();
    if (!m_scaler || !m_rgbFrame ||
        av_image_alloc(m_rgbFrame->data, m_rgbFrame->linesize, outWidth, frame->height,
                       AV_PIX_FMT_BGRA, 1) < 0) {
        releaseScaler();
        return false;
    }
    m_outWidth = outWidth;
    m_width = frame->width;
    m_height = frame->height;
    m_sourceFormat = frame->format;
    return true;
}

void VideoRenderer::onVideoFrame(const FrameRef& frame)
{
    if (!frame) {
        return;
    }
    if (frame->width > 0 && frame->height > 0 && prepareScaler(frame.get())) {
        sws_scale(m_scaler, frame->data, frame->linesize, 0, frame->height, m_rgbFrame->data,
                  m_rgbFrame->linesize);
        const QImage view(m_rgbFrame->data[0], m_outWidth, m_height, m_rgbFrame->linesize[0],
                          QImage::Format_RGB32);
        const int rotation = uprightRotation(frame.get());
        // Quarter turns are exact pixel moves, and they copy as well.
        QImage copy = rotation ? view.transformed(QTransform().rotate(rotation)) : view.copy();
        QMutexLocker lock(&m_mutex);
        m_image = std::move(copy);
    }
    update();
}

void VideoRenderer::clear()
{
    {
        QMutexLocker lock(&m_mutex);
        m_image = QImage();
    }
    update();
}

QImage VideoRenderer::currentImage() const
{
    QMutexLocker lock(&m_mutex);
    return m_image;
}

void VideoRenderer::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
    const QImage image = currentImage();
    if (image.isNull()) {
        return;
    }
    const QSize scaled = image.size().scaled(size(), Qt::KeepAspectRatio);
    const int x = (width() - scaled.width()) / 2;
    const int y = (height() - scaled.height()) / 2;
    painter.drawImage(QRect(QPoint(x, y), scaled), image);
    if (m_overlay) {
        const QImage overlay = m_overlay(scaled);
        if (!overlay.isNull()) {
            painter.drawImage(QPoint(x, y) + overlay.offset(), overlay);
        }
    }
}
