#include "BitmapSubtitles.h"

#include <QPainter>
#include <algorithm>
#include <cstdlib>
#include <limits>

void BitmapSubtitles::add(const SubtitlePicture& picture)
{
    const auto at =
        std::lower_bound(m_pictures.begin(), m_pictures.end(), picture.startMs,
                         [](const SubtitlePicture& p, qint64 start) { return p.startMs < start; });
    if (at != m_pictures.end() && at->startMs == picture.startMs) {
        *at = picture;
    } else {
        m_pictures.insert(at, picture);
    }
    while (m_pictures.size() > kMaxPictures) {
        // The farthest from where the viewer is (the picture just added).
        const qint64 front = std::llabs(m_pictures.first().startMs - picture.startMs);
        const qint64 back = std::llabs(m_pictures.last().startMs - picture.startMs);
        if (front >= back) {
            m_pictures.removeFirst();
        } else {
            m_pictures.removeLast();
        }
    }
    m_cacheValid = false;  // a replaced picture may look different
}

void BitmapSubtitles::clear()
{
    m_pictures.clear();
    m_cacheValid = false;
    m_cached = QImage();
}

QList<int> BitmapSubtitles::dueAt(qint64 ms) const
{
    QList<int> due;
    for (int i = 0; i < m_pictures.size() && m_pictures[i].startMs <= ms; ++i) {
        const SubtitlePicture& p = m_pictures[i];
        // Each picture replaces the one before (a disc's or a broadcast's
        // subtitle is the whole screen's), so it ends at the next one's
        // start at the latest; without an end of its own it lasts until
        // then. The next one's packet is read ahead of its time, so the end
        // is known when it comes.
        qint64 end = i + 1 < m_pictures.size() ? m_pictures[i + 1].startMs
                                               : std::numeric_limits<qint64>::max();
        if (p.endMs >= 0) {
            end = std::min(end, p.endMs);
        }
        if (ms < end && !p.parts.isEmpty()) {
            due << i;
        }
    }
    return due;
}

QImage BitmapSubtitles::draw(const QList<int>& due, const QSize& size) const
{
    QRect bounds;
    QList<QPair<QRect, const QImage*>> placed;
    for (int i : due) {
        const SubtitlePicture& p = m_pictures[i];
        const QSize canvas = p.canvas.isEmpty() ? size : p.canvas;
        const double sx = double(size.width()) / canvas.width();
        const double sy = double(size.height()) / canvas.height();
        for (const SubtitlePicture::Part& part : p.parts) {
            const QRect shown = QRectF(part.rect.x() * sx, part.rect.y() * sy,
                                       part.rect.width() * sx, part.rect.height() * sy)
                                    .toAlignedRect()
                                    .intersected(QRect(QPoint(0, 0), size));
            if (!shown.isEmpty()) {
                placed.append({shown, &part.image});
                bounds |= shown;
            }
        }
    }
    if (bounds.isEmpty()) {
        return {};
    }
    QImage out(bounds.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    for (const auto& [rect, image] : std::as_const(placed)) {
        painter.drawImage(rect.translated(-bounds.topLeft()), *image);
    }
    painter.end();
    out.setOffset(bounds.topLeft());
    return out;
}

QImage BitmapSubtitles::render(qint64 ms, const QSize& size)
{
    if (m_pictures.isEmpty() || size.isEmpty()) {
        return {};
    }
    const QList<int> due = dueAt(ms);
    QList<qint64> starts;
    for (int i : due) {
        starts << m_pictures[i].startMs;
    }
    if (!m_cacheValid || starts != m_cachedStarts || size != m_cachedSize) {
        m_cached = due.isEmpty() ? QImage() : draw(due, size);
        m_cachedStarts = starts;
        m_cachedSize = size;
        m_cacheValid = true;
    }
    return m_cached;
}
