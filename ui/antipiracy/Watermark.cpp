#include "Watermark.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QtMath>
#include <array>

namespace AntiPiracy {

namespace {

// Below this size in either direction there is no room for legible text.
constexpr int kMinSide = 21;
// Distance of the corner items from the edges.
constexpr int kMargin = 16;
// Text size follows the width, within legible and unobtrusive bounds.
constexpr double kBaseSizeFactor = 0.012;
constexpr int kMinBaseSize = 10;
constexpr int kMaxBaseSize = 18;
constexpr double kCentreSizeFactor = 1.6;
constexpr int kMediumWeight = 500;
// The opacity pulse.
constexpr double kMinOpacity = 0.12;
constexpr double kOpacitySwing = 0.16;
// The dark outline keeps the light text readable on bright pictures.
constexpr double kOutlineShare = 0.6;
constexpr double kMinOutline = 0.15;
constexpr double kMaxOutline = 0.45;
constexpr double kOutlineWidth = 1.5;
// Character colours cycle so the text does not read as one flat stamp,
// which makes it harder to mask out of a recording.
constexpr std::array<QRgb, 3> kCharColors{qRgb(255, 255, 255), qRgb(230, 230, 240),
                                          qRgb(190, 220, 255)};

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

// The corner schedule shared by the overlays of the process that follow the
// system clock. GUI thread only.
qint64 g_lastSwitchMs = -1;

qint64 systemNow()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// The whole text outlined at once, then each character filled in its own
// shade of the cycle.
void paintText(QPainter& painter, const QString& text, const QFont& font, QPoint origin,
               const QPen& outline, int fillAlpha)
{
    QPainterPath whole;
    whole.addText(origin, font, text);
    painter.strokePath(whole, outline);

    // One character is one code point: a name with characters outside the
    // basic plane must not be cut between the halves of a surrogate pair.
    const QFontMetrics metrics(font);
    qreal cx = origin.x();
    qsizetype j = 0;
    for (qsizetype i = 0; i < text.size(); ++j) {
        const qsizetype units =
            (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
                ? 2
                : 1;
        const QString ch = text.mid(i, units);
        i += units;
        QPainterPath glyph;
        glyph.addText(QPointF(cx, origin.y()), font, ch);
        QColor fill = QColor::fromRgb(kCharColors[size_t(j) % kCharColors.size()]);
        fill.setAlpha(fillAlpha);
        painter.fillPath(glyph, fill);
        cx += metrics.horizontalAdvance(ch);
    }
}

}  // namespace

Watermark::Watermark(QWidget* parent, Clock clock)
    : QWidget(parent), m_timer(new QTimer(this)), m_clock(std::move(clock))
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    connect(m_timer, &QTimer::timeout, this, &Watermark::tick);
    m_timer->start(kTickMs);
    m_startMs = now();
}

qint64 Watermark::now() const
{
    return m_clock ? m_clock() : systemNow();
}

void Watermark::setInfo(const QString& userText, const QString& deviceTag)
{
    m_userText = userText;
    m_deviceTag = deviceTag;
    update();
}

double Watermark::opacityAt(qint64 elapsedMs)
{
    // Floor modulo: a clock stepped back must not give a negative phase.
    const qint64 inCycle = ((elapsedMs % kPulseMs) + kPulseMs) % kPulseMs;
    const double t = double(inCycle) / double(kPulseMs);
    return kMinOpacity + kOpacitySwing * (qSin(2 * M_PI * t - M_PI / 2) + 1) / 2;
}

void Watermark::tick()
{
    const qint64 current = now();
    qint64& lastSwitch = m_clock ? m_ownLastSwitch : g_lastSwitchMs;
    if (lastSwitch < 0) {
        lastSwitch = current;
    }
    if (current - lastSwitch >= kCornerHoldMs) {
        m_cornerPhase = (m_cornerPhase + 1) % 4;
        lastSwitch = current;
    }
    update();
}

void Watermark::paintEvent(QPaintEvent*)
{
    const int w = width();
    const int h = height();
    if (w < kMinSide || h < kMinSide) {
        return;
    }
    const qint64 current = now();
    const double opacity = opacityAt(current - m_startMs);

    QPainter painter(this);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);

    const int base = qBound(kMinBaseSize, int(w * kBaseSizeFactor), kMaxBaseSize);
    const int outlineAlpha =
        int(qMax(qMin(opacity * kOutlineShare, kMaxOutline), kMinOutline) * 255);
    const int fillAlpha = int(opacity * 255);

    const QString name = m_userText.isEmpty() ? QStringLiteral("Guest") : m_userText;
    const QString time = QDateTime::fromMSecsSinceEpoch(current).toString(kTimeFormat);

    struct Item
    {
        QString text;
        int corner;  // -1: centred
        double sizeFactor;
    };
    const std::array<Item, 3> items{
        {{name, m_cornerPhase, 1.0},
         {time, (m_cornerPhase + 2) % 4, 1.0},
         {QStringLiteral("%1 · %2").arg(name, time), -1, kCentreSizeFactor}}};

    QPen outline(QColor(0, 0, 0, outlineAlpha), kOutlineWidth, Qt::SolidLine, Qt::SquareCap,
                 Qt::RoundJoin);
    for (const Item& item : items) {
        QFont font = painter.font();
        font.setPixelSize(int(base * item.sizeFactor));
        font.setWeight(QFont::Weight(kMediumWeight));
        const QFontMetrics metrics(font);
        const int tw = metrics.horizontalAdvance(item.text);
        const int th = metrics.height();

        paintText(painter, item.text, font, textOrigin(item.corner, tw, th), outline, fillAlpha);
    }
    painter.restore();
}

QPoint Watermark::textOrigin(int corner, int textWidth, int textHeight) const
{
    const int w = width();
    const int h = height();
    switch (corner) {
        case 0:
            return {kMargin, textHeight + kMargin};
        case 1:
            return {w - textWidth - kMargin, textHeight + kMargin};
        case 2:
            return {w - textWidth - kMargin, h - kMargin};
        case 3:
            return {kMargin, h - kMargin};
        default:
            // The centre line hops between a third above and below the middle
            // whenever the corners move.
            return {(w - textWidth) / 2, (m_cornerPhase % 2 == 0) ? h / 2 + h / 6 : h / 2 - h / 6};
    }
}

}  // namespace AntiPiracy
