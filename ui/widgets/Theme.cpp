#include "Theme.h"

#include <QPushButton>
#include <QRegularExpression>
#include <array>

namespace {

struct Swatch
{
    const char* name;
    QRgb rgb;
    int percent;  // opacity; 100 is opaque
};

constexpr QRgb kAccent = 0x00d4ff;
constexpr QRgb kWhite = 0xffffff;

// Opaque colours first, then the accent's translucent frames by what they
// frame: the eight strengths are part of the look, each kept to its role.
constexpr std::array kPalette{
    Swatch{"page", 0x2a3a55, 100},         // window, dialog and page background
    Swatch{"panel", 0x304260, 100},        // bars, cards, the sidebar
    Swatch{"field", 0x364a6e, 100},        // the login card's inputs
    Swatch{"menu", 0x1e2a3a, 100},         // context menus
    Swatch{"ink", 0x0a0f1a, 100},          // text on the accent; the video's surround
    Swatch{"text", 0xeaf2ff, 100},         // bright text
    Swatch{"white", kWhite, 100},          // dimmed text and washes go by opacity
    Swatch{"black", 0x000000, 100},        // shadows and outlines
    Swatch{"iconMuted", 0xb3b3b3, 100},    // quiet icons on the title bar
    Swatch{"accent", kAccent, 100},        // the program's cyan
    Swatch{"accentHover", 0x33ddff, 100},  // an accent button under the pointer
    Swatch{"accentPressed", 0x00b8d9, 100},
    Swatch{"success", 0x4ade80, 100},  // a finished task
    Swatch{"danger", 0xff5c5c, 100},   // error texts
    Swatch{"warning", 0xfbbf24, 100},  // warning cards
    Swatch{"warningFrame", 0xfbbf24, 35},
    Swatch{"closeHover", 0xe81123, 100},   // the window's close button under the pointer
    Swatch{"accentLine", kAccent, 18},     // the hairline between bars and panels
    Swatch{"accentFrame", kAccent, 20},    // cards, inputs, context menus
    Swatch{"accentQuiet", kAccent, 22},    // a secondary button's outline
    Swatch{"accentInfo", kAccent, 25},     // an information card; the scroll handle
    Swatch{"accentOutline", kAccent, 30},  // tags, small accent buttons, tool tips
    Swatch{"accentStrong", kAccent, 35},   // the invitation button, the speed menu
    Swatch{"accentFocus", kAccent, 40},    // the seek bubble
    Swatch{"accentCallout", kAccent, 60},  // the screenshot toast
    Swatch{"accentTint", kAccent, 15},     // a chosen or hovered item's wash
};

const Swatch* find(QStringView name)
{
    for (const Swatch& s : kPalette) {
        if (name == QLatin1String(s.name)) {
            return &s;
        }
    }
    return nullptr;
}

// As the style sheets wrote each colour before they named it: "#rrggbb",
// or "rgba(r,g,b,0.NN)".
QString css(QRgb rgb, int percent)
{
    if (percent >= 100) {
        return QColor(rgb).name(QColor::HexRgb);
    }
    return QStringLiteral("rgba(%1,%2,%3,%4)")
        .arg(qRed(rgb))
        .arg(qGreen(rgb))
        .arg(qBlue(rgb))
        .arg(QString::number(percent / 100.0, 'g', 3));
}

const char* const kMenuStyle =
    "QMenu { background: {menu}; border: 1px solid {accentFrame}; }"
    "QMenu::item { color: {text}; padding: 6px 20px; }"
    "QMenu::item:selected { background: {accentTint}; }";

}  // namespace

QString Theme::fill(const QString& sheet)
{
    static const QRegularExpression slot(QStringLiteral(R"(\{([A-Za-z]+)(?:@(\d{1,3}))?\})"));
    QString out;
    out.reserve(sheet.size() + sheet.size() / 4);
    qsizetype done = 0;
    for (QRegularExpressionMatchIterator it = slot.globalMatch(sheet); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        out += QStringView(sheet).mid(done, match.capturedStart() - done);
        done = match.capturedEnd();
        const Swatch* swatch = find(match.capturedView(1));
        if (!swatch) {
            qWarning("Theme: no colour named %s", qPrintable(match.captured(1)));
            out += match.capturedView(0);
            continue;
        }
        const bool own = match.capturedView(2).isEmpty();
        out += css(swatch->rgb, own ? swatch->percent : match.capturedView(2).toInt());
    }
    out += QStringView(sheet).mid(done);
    return out;
}

QString Theme::fill(const char* sheet)
{
    return fill(QString::fromUtf8(sheet));
}

QColor Theme::color(const QString& name, int alpha)
{
    const Swatch* swatch = find(name);
    if (!swatch) {
        qWarning("Theme: no colour named %s", qPrintable(name));
        return QColor();
    }
    QColor c(swatch->rgb);
    c.setAlpha(alpha >= 0 ? alpha : qRound(swatch->percent * 255 / 100.0));
    return c;
}

QString Theme::menuStyle()
{
    return fill(kMenuStyle);
}

QPushButton* Theme::pointerButton(const QString& text, QWidget* parent, const QString& objectName)
{
    auto* button = new QPushButton(text, parent);
    if (!objectName.isEmpty()) {
        button->setObjectName(objectName);
    }
    button->setCursor(Qt::PointingHandCursor);
    return button;
}
