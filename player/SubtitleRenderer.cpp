#include "SubtitleRenderer.h"

#ifdef VEILCAST_HAVE_LIBASS
extern "C" {
#include <ass/ass.h>
}

#ifdef _WIN32
#include <windows.h>

#include <string>
#endif

namespace {

// Where a style's font is missing, this family is tried before the system is
// asked glyph by glyph. fontconfig resolves the generic "sans-serif" itself
// and finds Chinese glyphs on its own. DirectWrite knows only real families,
// and its glyph-by-glyph fallback cannot be relied on everywhere the program
// runs (under Wine it finds no font even where one has the glyph), so on
// Windows GDI is asked which sans-serif face it draws Chinese text in: one
// with Latin letters as well (Microsoft YaHei or the like), and a machine
// without any still gets its plain sans-serif. TrueType only: libass cannot
// use GDI's bitmap fonts.
const char* defaultFamily()
{
#ifdef _WIN32
    static const std::string family = [] {
        std::string name = "Arial";
        HDC dc = CreateCompatibleDC(nullptr);
        if (!dc) {
            return name;
        }
        LOGFONTW wanted{};
        wanted.lfCharSet = GB2312_CHARSET;
        wanted.lfOutPrecision = OUT_TT_ONLY_PRECIS;
        wanted.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
        if (HFONT font = CreateFontIndirectW(&wanted)) {
            HGDIOBJ before = SelectObject(dc, font);
            wchar_t face[LF_FACESIZE] = {};
            if (GetTextFaceW(dc, LF_FACESIZE, face) > 1) {
                name = QString::fromWCharArray(face).toStdString();
            }
            SelectObject(dc, before);
            DeleteObject(font);
        }
        DeleteDC(dc);
        return name;
    }();
    return family.c_str();
#else
    return "sans-serif";
#endif
}

// Blends one libass glyph mask of one colour into a premultiplied picture.
void blend(QImage& out, const ASS_Image* img)
{
    const int r = int((img->color >> 24) & 0xff);
    const int g = int((img->color >> 16) & 0xff);
    const int b = int((img->color >> 8) & 0xff);
    // libass gives transparency; 0 is opaque.
    const int opacity = 255 - int(img->color & 0xff);
    for (int y = 0; y < img->h; ++y) {
        const int oy = img->dst_y + y;
        if (oy < 0 || oy >= out.height()) {
            continue;
        }
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(oy));
        const unsigned char* mask = img->bitmap + y * img->stride;
        for (int x = 0; x < img->w; ++x) {
            const int ox = img->dst_x + x;
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
    ass_set_fonts(m_renderer, nullptr, defaultFamily(), ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
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
    if (!m_track || line.isEmpty()) {
        return;
    }
    QByteArray copy = line;
    ass_process_chunk(m_track, copy.data(), int(copy.size()), startMs, durationMs);
}

void SubtitleRenderer::addFont(const QString& name, const QByteArray& data)
{
    if (m_library && !data.isEmpty()) {
        ass_add_font(m_library, name.toUtf8().constData(), data.constData(), int(data.size()));
        if (m_renderer) {
            ass_set_fonts(m_renderer, nullptr, defaultFamily(), ASS_FONTPROVIDER_AUTODETECT,
                          nullptr, 1);
        }
    }
}

void SubtitleRenderer::clear()
{
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
    ass_set_frame_size(m_renderer, size.width(), size.height());
    ass_set_storage_size(m_renderer, size.width(), size.height());
    int changed = 0;
    const ASS_Image* images = ass_render_frame(m_renderer, m_track, ms, &changed);
    if (!images) {
        return {};
    }
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    for (const ASS_Image* img = images; img; img = img->next) {
        blend(out, img);
    }
    return out;
}

#else  // no libass: a renderer that is never valid and draws nothing

SubtitleRenderer::SubtitleRenderer() = default;
SubtitleRenderer::~SubtitleRenderer() = default;
void SubtitleRenderer::startTrack(const QByteArray&) {}
void SubtitleRenderer::addEvent(const QByteArray&, qint64, qint64) {}
void SubtitleRenderer::addFont(const QString&, const QByteArray&) {}
void SubtitleRenderer::clear() {}
QImage SubtitleRenderer::render(qint64, const QSize&)
{
    return {};
}

#endif
