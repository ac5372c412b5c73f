#pragma once

#include <QElapsedTimer>
#include <QStyledItemDelegate>
#include <QTimer>
#include <functional>

// Paints one playlist row: number badge, title elided to its room, duration
// line, a "无权限" badge for rows the viewer may not play, and three moving
// bars on the row now playing. A title that does not fit is shown whole as
// a plain-text tooltip. GUI thread only.
class PlaylistDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    static constexpr int kRowHeight = 52;
    // Fast enough for the bars to look fluid, slow enough to cost nothing.
    static constexpr int kAnimationIntervalMs = 80;
    // The bars' phase advances one radian per 200 ms.
    static constexpr double kBarPhaseMs = 200.0;

    // Milliseconds from an arbitrary origin; replaceable so tests can paint
    // two chosen moments.
    using TimeSource = std::function<qint64()>;

    explicit PlaylistDelegate(QObject* view);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // The page calls this on every player state change: true while playing.
    void setPlaying(bool playing);
    bool isAnimating() const { return m_timer.isActive(); }
    void setTimeSource(TimeSource source) { m_now = std::move(source); }

    // Room for the title in a row of the given rectangle.
    static int titleWidth(const QRect& row, bool permitted);

private:
    void onAnimationTick();

    // GUI thread only.
    QTimer m_timer;
    QElapsedTimer m_clock;
    TimeSource m_now;
};
