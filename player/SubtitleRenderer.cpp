#include "SubtitleRenderer.h"

#include "SystemFonts.h"

#ifdef VEILCAST_HAVE_LIBASS
extern "C" {
#include <ass/ass.h>
}

namespace {

// Blends one libass glyph mask of one colour into a premultiplied picture.
// `origin` is where the picture's top left lies on the frame.
void blend(QImage& out, const ASS_Image* img, const QPoint& origin)
{
    const int r = int((img->color >> 24) & 0xff);
    const int g = int((img->color >> 16) & 0xff);
    const int b = int((img->color >> 8) & 0xff);
    // libass gives transparency; 0 is opaque.
    const int opacity = 255 - int(img->color & 0xff);
    for (int y = 0; y < img->h; ++y) {
        const int oy = img->dst_y + y - origin.y();
        if (oy < 0 || oy >= out.height()) {
            continue;
        }
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(oy));
        const unsigned char* mask = img->bitmap + y * img->stride;
        for (int x = 0; x < img->w; ++x) {
            const int ox = img->dst_x + x - origin.x();
            if (ox < 0 || ox >= out.width() || mask[x] == 0) {
                continue;
            }
            const int k = mask[x] * opacity / 255;
            const QRgb d = line[ox];
            const int keep = 255 - k;
            line[ox] = qRgba((r * k + qRed(d) * keep) / 255, (g * k + qGreen(d) * keep) / 255,
                             (b * k + qBlue(d) * keep) / 255, k + qAlpha(d) * keep / 255);
        }
    }
}

}  // namespace

SubtitleRenderer::SubtitleRenderer()
{
    m_library = ass_library_init();
    if (!m_library) {
        return;
    }
    // Fonts a file carries are given by name, never extracted to disk.
    ass_set_extract_fonts(m_library, 0);
    m_renderer = ass_renderer_init(m_library);
    if (!m_renderer) {
        return;
    }
    applyFonts();
}

void SubtitleRenderer::applyFonts()
{
    const QByteArray family = SystemFonts::subtitleFallbackFamily().toUtf8();
    ass_set_fonts(m_renderer, nullptr, family.constData(), ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
}

SubtitleRenderer::~SubtitleRenderer()
{
    clear();
    if (m_renderer) {
        ass_renderer_done(m_renderer);
    }
    if (m_library) {
        ass_library_done(m_library);
    }
}

void SubtitleRenderer::startTrack(const QByteArray& header)
{
    clear();
    if (!m_library) {
        return;
    }
    m_track = ass_new_track(m_library);
    if (m_track && !header.isEmpty()) {
        QByteArray copy = header;  // libass takes a writable buffer
        ass_process_codec_private(m_track, copy.data(), int(copy.size()));
    }
}

void SubtitleRenderer::addEvent(const QByteArray& line, qint64 startMs, qint64 durationMs)
{
    const int comma = line.indexOf(',');
    if (!m_track || comma < 0) {
        return;
    }
    // libass keeps one event per ReadOrder, but FFmpeg's text decoders
    // count it from 0 again after every seek: an event is known here by its
    // time and body instead, and numbered in the order first seen.
    const QByteArray body = line.mid(comma + 1);
    const QByteArray known =
        QByteArray::number(startMs) + '|' + QByteArray::number(durationMs) + '|' + body;
    if (m_seen.contains(known)) {
        return;
    }
    m_seen.insert(known);
    QByteArray numbered = QByteArray::number(m_nextReadOrder++) + ',' + body;
    m_cacheValid = false;
    ass_process_chunk(m_track, numbered.data(), int(numbered.size()), startMs, durationMs);
}

void SubtitleRenderer::addFont(const QString& name, const QByteArray& data)
{
    if (m_library && !data.isEmpty()) {
        ass_add_font(m_library, name.toUtf8().constData(), data.constData(), int(data.size()));
        m_cacheValid = false;
        if (m_renderer) {
            applyFonts();
        }
    }
}

void SubtitleRenderer::clearFonts()
{
    if (m_library) {
        ass_clear_fonts(m_library);
        m_cacheValid = false;
        if (m_renderer) {
            applyFonts();
        }
    }
}

void SubtitleRenderer::clear()
{
    m_seen.clear();
    m_nextReadOrder = 0;
    m_cacheValid = false;
    m_cached = QImage();
    if (m_track) {
        ass_free_track(m_track);
        m_track = nullptr;
    }
}

QImage SubtitleRenderer::render(qint64 ms, const QSize& size)
{
    if (!m_renderer || !m_track || size.isEmpty()) {
        return {};
    }
    if (size != m_frameSize) {
        ass_set_frame_size(m_renderer, size.width(), size.height());
        ass_set_storage_size(m_renderer, size.width(), size.height());
        m_frameSize = size;
        m_cacheValid = false;
    }
    int changed = 0;
    const ASS_Image* images = ass_render_frame(m_renderer, m_track, ms, &changed);
    if (changed == 0 && m_cacheValid) {
        return m_cached;  // the same lines in the same places: most frames
    }
    m_cacheValid = true;
    QRect bounds;
    for (const ASS_Image* img = images; img; img = img->next) {
        bounds |= QRect(img->dst_x, img->dst_y, img->w, img->h);
    }
    bounds &= QRect(QPoint(0, 0), size);
    if (bounds.isEmpty()) {
        m_cached = QImage();
        return m_cached;
    }
    // Only what is drawn on: a full-frame picture would cost the painter a
    // blend of every pixel of the video on every frame.
    QImage out(bounds.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    for (const ASS_Image* img = images; img; img = img->next) {
        blend(out, img, bounds.topLeft());
    }
    out.setOffset(bounds.topLeft());
    m_cached = out;
    return m_cached;
}

#else  // no libass: a renderer that is never valid and draws nothing

SubtitleRenderer::SubtitleRenderer() = default;
SubtitleRenderer::~SubtitleRenderer() = default;
void SubtitleRenderer::startTrack(const QByteArray&) {}
void SubtitleRenderer::addEvent(const QByteArray&, qint64, qint64) {}
void SubtitleRenderer::addFont(const QString&, const QByteArray&) {}
void SubtitleRenderer::clearFonts() {}
void SubtitleRenderer::clear() {}
QImage SubtitleRenderer::render(qint64, const QSize&)
{
    return {};
}

#endif
