#pragma once

#include <QColor>
#include <QString>

class QPushButton;
class QWidget;

// The program's one palette, and the few pieces of look several windows
// share. Style sheets name colours instead of spelling them, so a colour is
// changed here once:
//
//   Theme::fill("#card { background: {panel}; border: 1px solid {accentFrame}; "
//               "color: {white@45}; }")
//
// {name} is a colour of the palette as written below; {name@NN} is the same
// colour at NN percent opacity. Braces a style sheet needs for its blocks
// never hold a bare name, so they pass through.
namespace Theme {

// The style sheet with every {name} and {name@NN} filled in. A name the
// palette lacks is left as written and warned about.
QString fill(const QString& sheet);
QString fill(const char* sheet);

// A palette colour for painting; alpha (0-255) replaces the colour's own.
QColor color(const QString& name, int alpha = -1);

// The context menus' look (the playlist's and the encryption list's).
QString menuStyle();

// A push button with the pointing-hand cursor every clickable control here
// has; objectName, when given, is what the style sheets address it by.
QPushButton* pointerButton(const QString& text, QWidget* parent,
                           const QString& objectName = QString());

}  // namespace Theme
