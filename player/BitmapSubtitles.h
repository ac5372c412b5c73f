#pragma once

#include <QImage>
#include <QList>
#include <QMetaType>
#include <QRect>
#include <QSize>

// One bitmap subtitle (DVD, DVB, Blu-ray PGS) as its decoder gives it:
// palette pictures placed on the subtitle's canvas, which covers the whole
// video picture. Each replaces the one before; no parts at all is a
// "clear": it ends what was shown.
struct SubtitlePicture
{
    struct Part
    {
        QRect rect;    // on the canvas
        QImage image;  // Format_Indexed8 with its palette (straight alpha)
    };
    qint64 startMs = 0;
    qint64 endMs = -1;  // -1: shown until the next picture of the track
    QSize canvas;
    QList<Part> parts;
};
Q_DECLARE_METATYPE(SubtitlePicture)

// The bitmap subtitles of the current track, seen so far, and the picture of
// those due at a time drawn at the size the video is shown at. Pictures come
// in decoding order, may come twice (after a seek back) and are kept once
// per start time; a bounded number is kept, those nearest the last one added
// staying, as a film's worth of DVD subtitles would fill hundreds of MB.
//
// The picture handed out is cropped to what is drawn (QImage::offset() is
// its place on the shown video) and made again only when what is due or the
// size changes, so a frame that shows the same line costs a lookup.
//
// One thread at a time (the GUI thread in the player).
class BitmapSubtitles
{
public:
    // Pictures kept: about ten minutes of dense dialogue.
    static constexpr int kMaxPictures = 200;

    void add(const SubtitlePicture& picture);
    void clear();
    bool isEmpty() const { return m_pictures.isEmpty(); }

    // The subtitles due at `ms` over a picture shown at `size`; null when
    // none are due.
    QImage render(qint64 ms, const QSize& size);

private:
    QList<int> dueAt(qint64 ms) const;
    QImage draw(const QList<int>& due, const QSize& size) const;

    QList<SubtitlePicture> m_pictures;  // by start time
    bool m_cacheValid = false;
    QList<qint64> m_cachedStarts;  // what m_cached shows
    QSize m_cachedSize;
    QImage m_cached;
};
