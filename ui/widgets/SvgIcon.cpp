#include "SvgIcon.h"

#include <QPainter>
#include <QSvgRenderer>

QByteArray SvgIcon::document(const QString& pathMarkup, const QColor& color)
{
    // One multi-argument arg(): a '%' sequence inside the path data can never
    // be taken for a later placeholder.
    static const QString kTemplate = QStringLiteral(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 24 24\" fill=\"%1\" "
        "fill-opacity=\"%2\">%3</svg>");
    const QString opacity = QString::number(color.alpha() / 255.0, 'f', 2);
    return kTemplate.arg(color.name(QColor::HexRgb), opacity, pathMarkup).toUtf8();
}

QPixmap SvgIcon::pixmap(const QString& pathMarkup, const QColor& color, int size)
{
    if (size <= 0) {
        return {};
    }
    QSvgRenderer renderer(document(pathMarkup, color));
    if (!renderer.isValid()) {
        return {};
    }
    QPixmap result(size, size);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing, true);
    renderer.render(&painter, QRectF(0, 0, size, size));
    return result;
}

QIcon SvgIcon::icon(const QString& pathMarkup, const QColor& color, int size)
{
    const QPixmap pm = pixmap(pathMarkup, color, size);
    return pm.isNull() ? QIcon() : QIcon(pm);
}
