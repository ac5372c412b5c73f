#include "VideoRenderer.h"

#include <QMutexLocker>
#include <QPainter>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace {

const QColor kBackground(0x0a, 0x0f, 0x1a);

}  // namespace

VideoRenderer::VideoRenderer(QWidget* parent) : QWidget(parent)
{
    static const int id = qRegisterMetaType<AVFrame*>("AVFrame*");
    Q_UNUSED(id);
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
    m_sourceFormat = -1;
}

bool VideoRenderer::prepareScaler(const AVFrame* frame)
{
    // The pixel format is part of the key: a scaler made for three planes
    // reading a two-plane picture of the same size would read past it.
    if (m_scaler && frame->width == m_width && frame->height == m_height &&
        frame->format == m_sourceFormat) {
        return true;
    }
    releaseScaler();
    // The fast unscaled YUV-to-RGB path converts pixel pairs and leaves the
    // last column of an odd-width picture unwritten; the accurate path
    // converts every pixel, so odd widths take it.
    const int flags = SWS_BILINEAR | ((frame->width % 2) ? SWS_ACCURATE_RND : 0);
    m_scaler = sws_getContext(frame->width, frame->height,
                              static_cast<AVPixelFormat>(frame->format), frame->width,
                              frame->height, AV_PIX_FMT_BGRA, flags, nullptr, nullptr, nullptr);
    m_rgbFrame = av_frame_alloc();
    if (!m_scaler || !m_rgbFrame ||
        av_image_alloc(m_rgbFrame->data, m_rgbFrame->linesize, frame->width, frame->height,
                       AV_PIX_FMT_BGRA, 1) < 0) {
        releaseScaler();
        return false;
    }
    m_width = frame->width;
    m_height = frame->height;
    m_sourceFormat = frame->format;
    return true;
}

void VideoRenderer::onVideoFrame(AVFrame* frame)
{
    if (!frame) {
        return;
    }
    if (frame->width > 0 && frame->height > 0 && prepareScaler(frame)) {
        sws_scale(m_scaler, frame->data, frame->linesize, 0, frame->height, m_rgbFrame->data,
                  m_rgbFrame->linesize);
        const QImage view(m_rgbFrame->data[0], m_width, m_height, m_rgbFrame->linesize[0],
                          QImage::Format_RGB32);
        QImage copy = view.copy();
        QMutexLocker lock(&m_mutex);
        m_image = std::move(copy);
    }
    av_frame_free(&frame);
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
}
