#pragma once

#include <QByteArray>
#include <QImage>
#include <QSet>
#include <QSize>
#include <QString>

struct ass_library;
struct ass_renderer;
struct ass_track;

// Text subtitles drawn with libass, the renderer their styles are written
// for: the decoder hands over the track's style header and each event as an
// ASS line, and a picture of the subtitles due at a time is drawn at the
// size the video is shown at. Fonts come from the system (fontconfig; on
// Windows DirectWrite), so a style naming a font the machine lacks falls back
// to one that has the glyphs (Chinese included) rather than drawing boxes;
// fonts a file carries are added.
//
// One thread at a time (the GUI thread in the player).
class SubtitleRenderer
{
public:
    SubtitleRenderer();
    ~SubtitleRenderer();
    SubtitleRenderer(const SubtitleRenderer&) = delete;
    SubtitleRenderer& operator=(const SubtitleRenderer&) = delete;

    // False when libass could not be set up; then nothing is ever drawn.
    bool isValid() const { return m_renderer != nullptr; }

    // A new track with these styles (the decoder's ASS header; empty: libass's
    // defaults). Events of the track before are gone.
    void startTrack(const QByteArray& header);
    // One event, an ASS "Dialogue" body as FFmpeg's decoders give it
    // ("ReadOrder,Layer,Style,Name,MarginL,MarginR,MarginV,Effect,Text").
    // An event handed over twice (after a seek back) is kept once; its own
    // ReadOrder is not trusted for that.
    void addEvent(const QByteArray& line, qint64 startMs, qint64 durationMs);
    // A font the file carries (a Matroska attachment).
    void addFont(const QString& name, const QByteArray& data);
    // The fonts added are gone (the next file carries its own).
    void clearFonts();
    // No track: nothing is drawn until the next startTrack.
    void clear();
    bool hasTrack() const { return m_track != nullptr; }

    // The subtitles due at `ms` over a picture shown at `size`: cropped to
    // what is drawn, its place on the picture in QImage::offset(); a null
    // image when nothing is on screen. Drawn again only when libass says
    // the lines changed.
    QImage render(qint64 ms, const QSize& size);

private:
    // libass's fonts: the system's, the ones added, and the fallback family.
    void applyFonts();

    ass_library* m_library = nullptr;
    ass_renderer* m_renderer = nullptr;
    ass_track* m_track = nullptr;
    QSet<QByteArray> m_seen;  // time and body of each event of the track
    qint64 m_nextReadOrder = 0;
    QSize m_frameSize;
    bool m_cacheValid = false;  // m_cached is what libass drew last
    QImage m_cached;
};
