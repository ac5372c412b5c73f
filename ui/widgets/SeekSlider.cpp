#include "SeekSlider.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <algorithm>

#include "Theme.h"
#include "TimeText.h"

namespace {

// Keeps the bubble off the very edge of the area it floats in.
constexpr int kBubbleEdgeMargin = 4;
// The bubble's lower edge overlaps the slider a little, so it reads as
// belonging to the point under the pointer.
constexpr int kBubbleOverlap = 4;
// A chapter mark: narrow enough not to hide the progress under it, as tall
// as the groove is thick when hovered, so it reads at a glance.
constexpr int kMarkWidth = 2;
constexpr int kMarkHeight = 6;

const char* const kBubbleStyle =
    "#seekTooltip { background: {black@85}; color: {white}; font-size: 11px;"
    " padding: 3px 7px; border-radius: 4px; border: 1px solid {accentFocus}; }";

}  // namespace

SeekSlider::SeekSlider(Qt::Orientation orientation, QWidget* parent) : QSlider(orientation, parent)
{
    setRange(0, kScale);
    setMouseTracking(true);
}

SeekSlider::~SeekSlider()
{
    delete m_bubble;
}

void SeekSlider::setDuration(qint64 ms)
{
    m_duration = ms;
    if (m_duration <= 0 && m_bubble) {
        m_bubble->hide();
    }
}

void SeekSlider::setChapters(const QList<ChapterMark>& chapters)
{
    m_chapters = chapters;
    std::stable_sort(
        m_chapters.begin(), m_chapters.end(),
        [](const ChapterMark& a, const ChapterMark& b) { return a.startMs < b.startMs; });
    update();
}

int SeekSlider::xForTime(qint64 ms) const
{
    if (m_duration <= 0) {
        return 0;
    }
    const int value = int(std::clamp<qint64>(ms * kScale / m_duration, 0, kScale));
    return QStyle::sliderPositionFromValue(minimum(), maximum(), value, width(), false);
}

QString SeekSlider::bubbleText(qint64 ms) const
{
    QString title;
    for (const ChapterMark& c : m_chapters) {
        if (c.startMs > ms) {
            break;
        }
        title = c.title;
    }
    const QString time = TimeText::format(ms);
    return title.isEmpty() ? time : time + QStringLiteral("  ") + title;
}

void SeekSlider::paintEvent(QPaintEvent* event)
{
    QSlider::paintEvent(event);
    if (m_duration <= 0 || m_chapters.isEmpty()) {
        return;
    }
    QPainter painter(this);
    const QColor mark = Theme::color(QStringLiteral("ink"), 200);
    const int top = (height() - kMarkHeight) / 2;
    for (const ChapterMark& c : std::as_const(m_chapters)) {
        // The first chapter starts where the bar does; a mark there says nothing.
        if (c.startMs <= 0 || c.startMs >= m_duration) {
            continue;
        }
        painter.fillRect(xForTime(c.startMs) - kMarkWidth / 2, top, kMarkWidth, kMarkHeight, mark);
    }
}

int SeekSlider::valueAtX(int x) const
{
    return QStyle::sliderValueFromPosition(minimum(), maximum(), x, width(), false);
}

void SeekSlider::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        const int value = valueAtX(qRound(event->position().x()));
        setValue(value);
        if (m_duration > 0) {
            emit seekRequested(qint64(value) * m_duration / kScale);
        }
    }
    QSlider::mousePressEvent(event);
}

void SeekSlider::mouseMoveEvent(QMouseEvent* event)
{
    QSlider::mouseMoveEvent(event);
    if (m_duration <= 0) {
        return;
    }
    ensureBubble();
    if (!m_bubble) {
        return;
    }
    const int x = qRound(event->position().x());
    const qint64 ms = qint64(valueAtX(x)) * m_duration / kScale;
    m_bubble->setText(bubbleText(ms));
    m_bubble->adjustSize();

    QWidget* area = m_bubble->parentWidget();
    const QPoint anchor = mapTo(area, QPoint(x, 0));
    int bx = anchor.x() - m_bubble->width() / 2;
    bx = qMin(bx, area->width() - m_bubble->width() - kBubbleEdgeMargin);
    bx = qMax(bx, kBubbleEdgeMargin);
    const int by = anchor.y() - m_bubble->height() + kBubbleOverlap;
    m_bubble->move(bx, by);
    if (m_bubble->isHidden()) {
        m_bubble->show();
        m_bubble->raise();
    }
}

void SeekSlider::leaveEvent(QEvent* event)
{
    if (m_bubble) {
        m_bubble->hide();
    }
    QSlider::leaveEvent(event);
}

void SeekSlider::showEvent(QShowEvent* event)
{
    QSlider::showEvent(event);
    ensureBubble();
}

void SeekSlider::ensureBubble()
{
    if (m_bubble) {
        return;
    }
    QWidget* holder = parentWidget();
    if (!holder) {
        return;  // nowhere to float: a slider on its own shows no bubble
    }
    if (holder->parentWidget()) {
        holder = holder->parentWidget();
    }
    m_bubble = new QLabel(holder);
    m_bubble->setObjectName(QStringLiteral("seekTooltip"));
    m_bubble->setTextFormat(Qt::PlainText);
    m_bubble->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_bubble->setStyleSheet(Theme::fill(kBubbleStyle));
    m_bubble->hide();
}
