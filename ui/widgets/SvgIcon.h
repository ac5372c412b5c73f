#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

// Every control icon of the program is SVG markup (one or more path elements)
// in a 24 x 24 view box, rendered at run time in one colour. This is the one
// place that turns such markup into pixels.
class SvgIcon
{
public:
    // The SVG document for the markup: fill is the colour without alpha, the
    // alpha becomes fill-opacity with two decimals (179 -> "0.70").
    static QByteArray document(const QString& pathMarkup, const QColor& color);

    // A size x size transparent pixmap with the markup drawn antialiased;
    // a null pixmap when the markup is not valid SVG or the size is not positive.
    static QPixmap pixmap(const QString& pathMarkup, const QColor& color, int size);

    // The pixmap above as an icon with that single pixmap.
    static QIcon icon(const QString& pathMarkup, const QColor& color, int size);
};
