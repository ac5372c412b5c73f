#include "ScreenshotService.h"

#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <QtMath>

#include "AppConfig.h"
#include "VideoRenderer.h"

namespace {

// Two files captured within the same millisecond under the same title get
// numbered rather than one replacing the other; this many tries is plenty.
constexpr int kMaxNameAttempts = 100;

bool isRefusedInFileName(QChar c)
{
    static const QString kRefused = QStringLiteral("\\/:*?\"<>|");
    return c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control ||
           kRefused.contains(c);
}

}  // namespace

ScreenshotService::ScreenshotService(QObject* parent) : QObject(parent) {}

int ScreenshotService::markPixelSize(int pictureWidth)
{
    return qMax(kMarkMinPixelSize, qMin(kMarkMaxPixelSize, pictureWidth / kMarkWidthDivisor));
}

QString ScreenshotService::markText(const ViewerIdentity& viewer, const QDateTime& time)
{
    return viewer.name + QLatin1Char(' ') + time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" #") + viewer.deviceId.right(4);
}

QImage ScreenshotService::markedCopy(const QImage& picture, const QString& mark)
{
    QImage image = picture.convertToFormat(QImage::Format_RGB32);
    if (image.isNull()) {
        return image;
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);

    QFont font = painter.font();
    font.setPixelSize(markPixelSize(image.width()));
    font.setWeight(QFont::Medium);
    const QFontMetrics metrics(font);
    const int tw = metrics.horizontalAdvance(mark);
    const int th = metrics.height();

    // The text is laid out whole, once: shaping sees every character
    // complete (surrogate pairs, combining marks) and the tiles are copies.
    QPainterPath text;
    text.addText(0, 0, font, mark);
    const QPen outline(QColor(0, 0, 0, 40), 1.2);
    const QColor fill(255, 255, 255, 55);

    painter.rotate(kMarkAngle);
    const int d = int(
        std::sqrt(double(image.width()) * image.width() + double(image.height()) * image.height()));
    for (int y = -d; y < d; y += th + kMarkRowGap) {
        for (int x = -d; x < d; x += tw + kMarkColumnGap) {
            const QPainterPath tile = text.translated(x, y);
            painter.strokePath(tile, outline);
            painter.fillPath(tile, fill);
        }
    }
    painter.end();
    return image;
}

QString ScreenshotService::safeTitle(const QString& title)
{
    QString out;
    out.reserve(title.size());
    for (QChar c : title) {
        if (!isRefusedInFileName(c)) {
            out.append(c);
        }
    }
    if (out.size() > kMaxTitleLength) {
        int cut = kMaxTitleLength;
        if (out.at(cut - 1).isHighSurrogate()) {
            --cut;
        }
        out.truncate(cut);
    }
    // Windows drops trailing dots and spaces, so the saved name would differ.
    while (!out.isEmpty() && (out.back() == QLatin1Char('.') || out.back().isSpace())) {
        out.chop(1);
    }
    out = out.trimmed();
    return out.isEmpty() ? QStringLiteral("截图") : out;
}

QString ScreenshotService::fileName(const QString& title, const QDateTime& time)
{
    return safeTitle(title) + QLatin1Char('_') +
           time.toString(QStringLiteral("yyyyMMdd_HHmmss_zzz")) + QStringLiteral(".png");
}

QString ScreenshotService::directory()
{
    const QString configured = AppConfig::instance()->screenshotDir();
    return configured.isEmpty() ? AppConfig::defaultScreenshotDir() : configured;
}

bool ScreenshotService::savePng(const QImage& image, const QString& path)
{
    // Written under a temporary name and renamed at the end: a failed write
    // leaves no half file behind.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    if (!image.save(&file, "PNG")) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

void ScreenshotService::capture(VideoRenderer* renderer, const QString& title)
{
    if (!renderer) {
        emit failed(QStringLiteral("内部错误"));
        return;
    }
    const QImage picture = renderer->currentImage();
    if (picture.isNull()) {
        emit failed(QStringLiteral("当前没有可截取的画面。"));
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    const QString mark = markText(m_viewer, now);
    const QImage marked = markedCopy(picture, mark);

    const QString failure = QStringLiteral("保存失败，请检查磁盘空间。");
    const QString dir = directory();
    if (!QDir().mkpath(dir)) {
        emit failed(failure);
        return;
    }
    const QString name = fileName(title, now);
    QString path = QDir(dir).filePath(name);
    for (int n = 2; QFileInfo::exists(path); ++n) {
        if (n > kMaxNameAttempts) {
            emit failed(failure);
            return;
        }
        const QString stem = name.chopped(4);
        path = QDir(dir).filePath(stem + QStringLiteral("_%1.png").arg(n));
    }
    if (!savePng(marked, path)) {
        emit failed(failure);
        return;
    }
    emit captured(path, marked.scaled(kThumbnailWidth, kThumbnailHeight, Qt::KeepAspectRatio,
                                      Qt::SmoothTransformation));
}
