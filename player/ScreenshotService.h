#pragma once

#include <QDateTime>
#include <QImage>
#include <QObject>
#include <QString>

#include "ViewerIdentity.h"

class VideoRenderer;

// Saves the picture the video renderer shows as a PNG file with the viewer's
// identity (setViewer) burned in: a tiled, rotated, translucent line of name, time and
// device code. The window is excluded from screen capture, so this is the one
// way a frame leaves the program, and it always carries the mark. The shown
// picture is never altered; the mark goes on a copy. GUI thread only.
class ScreenshotService : public QObject
{
    Q_OBJECT

public:
    // The mark's pixel size is the width / 50, kept readable on small
    // pictures and unobtrusive on large ones.
    static constexpr int kMarkWidthDivisor = 50;
    static constexpr int kMarkMinPixelSize = 14;
    static constexpr int kMarkMaxPixelSize = 22;
    // Room between the tiles of the mark.
    static constexpr int kMarkRowGap = 60;
    static constexpr int kMarkColumnGap = 80;
    static constexpr qreal kMarkAngle = -30.0;
    // A title longer than this is cut, so the path stays within what every
    // file system takes (255 units per name) with the time suffix added.
    static constexpr int kMaxTitleLength = 120;
    static constexpr int kThumbnailWidth = 96;
    static constexpr int kThumbnailHeight = 54;

    explicit ScreenshotService(QObject* parent = nullptr);

    // Whom the next captures are marked with.
    void setViewer(const ViewerIdentity& viewer) { m_viewer = viewer; }

    // Ends by emitting exactly one of captured or failed. title is the
    // playlist title of the file, or empty.
    void capture(VideoRenderer* renderer, const QString& title);

    static int markPixelSize(int pictureWidth);
    // "<name> <yyyy-MM-dd HH:mm:ss> #<last 4 of the device id>".
    static QString markText(const ViewerIdentity& viewer, const QDateTime& time);
    // A copy of picture (as RGB32) with the mark tiled over it.
    static QImage markedCopy(const QImage& picture, const QString& mark);
    // The title made safe as part of a file name: no path separators, no
    // characters Windows refuses, no control characters, no trailing dots or
    // spaces, at most kMaxTitleLength characters (a surrogate pair is never
    // cut in half); "截图" when nothing is left.
    static QString safeTitle(const QString& title);
    // safeTitle + "_yyyyMMdd_HHmmss_zzz.png".
    static QString fileName(const QString& title, const QDateTime& time);
    // The configured folder, else the user's pictures folder + "/Veilcast"
    // (the program's own folder may be read-only once installed).
    static QString directory();

signals:
    void captured(QString savedPath, QImage thumbnail);
    void failed(QString reason);

private:
    static bool savePng(const QImage& image, const QString& path);

    ViewerIdentity m_viewer;
};
