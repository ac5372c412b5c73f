#include "PlaylistDelegate.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>
#include <QTextDocument>
#include <QToolTip>
#include <cmath>

#include "PlaylistModel.h"
#include "Theme.h"

namespace {

const QString kFontFamily = QStringLiteral("Segoe UI");
constexpr int kBadgeSize = 24;
constexpr int kBadgeLeft = 16;
constexpr int kTextGap = 10;
// Room kept right of the title: the bars, and with them the "无权限" badge.
constexpr int kTitleRightPermitted = 22;
constexpr int kTitleRightRefused = 74;
// Tooltip measurement: the badge and gaps on the left and the bars' room.
constexpr int kTooltipSideRoom = 62;
constexpr int kTooltipRefusedRoom = 52;

QFont uiFont(int pointSize)
{
    QFont f(kFontFamily);
    f.setPointSize(pointSize);
    return f;
}

QColor accentAt(int alpha)
{
    return Theme::color(QStringLiteral("accent"), alpha);
}

QColor white(int alpha)
{
    return Theme::color(QStringLiteral("white"), alpha);
}

}  // namespace

PlaylistDelegate::PlaylistDelegate(QObject* view) : QStyledItemDelegate(view)
{
    m_timer.setInterval(kAnimationIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &PlaylistDelegate::onAnimationTick);
    m_clock.start();
    m_now = [this] { return m_clock.elapsed(); };
}

void PlaylistDelegate::setPlaying(bool playing)
{
    if (playing && !m_timer.isActive()) {
        m_timer.start();
    } else if (!playing && m_timer.isActive()) {
        m_timer.stop();
    }
}

void PlaylistDelegate::onAnimationTick()
{
    if (auto* view = qobject_cast<QAbstractItemView*>(parent())) {
        view->viewport()->update();
    }
}

QSize PlaylistDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return QSize(0, kRowHeight);
}

int PlaylistDelegate::titleWidth(const QRect& row, bool permitted)
{
    const int badgeRight = row.left() + kBadgeLeft + kBadgeSize;
    return row.right() - badgeRight - (permitted ? kTitleRightPermitted : kTitleRightRefused);
}

void PlaylistDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const
{
    const QRect r = option.rect;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);

    const bool permitted = index.data(PlaylistModel::PermissionRole).toBool();
    const bool playing = index.data(PlaylistModel::PlayingRole).toBool();
    const QString title = index.data(PlaylistModel::TitleRole).toString();
    const QString line2 = index.data(PlaylistModel::DurationTextRole).toString();
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    const bool hovered = option.state.testFlag(QStyle::State_MouseOver);
    const QColor accent = Theme::color(QStringLiteral("accent"));

    if (selected) {
        painter->fillRect(r, accentAt(20));
        painter->fillRect(QRect(r.left(), r.top(), 2, r.height()), accent);
    } else if (hovered) {
        painter->fillRect(r, white(13));
    } else {
        painter->fillRect(r, Theme::color(QStringLiteral("panel")));
    }
    painter->setPen(white(10));
    painter->drawLine(r.left(), r.bottom(), r.right(), r.bottom());

    const QRect badge(r.left() + kBadgeLeft, r.top() + (r.height() - kBadgeSize) / 2, kBadgeSize,
                      kBadgeSize);
    painter->setPen(Qt::NoPen);
    painter->setBrush(selected ? accentAt(40) : white(15));
    painter->drawRoundedRect(badge, 4, 4);
    painter->setFont(uiFont(10));
    painter->setPen(selected ? accent : white(115));
    painter->drawText(badge, Qt::AlignCenter, QString::number(index.row() + 1));

    const int textLeft = badge.right() + 1 + kTextGap;
    const int w = titleWidth(r, permitted);
    const QFont titleFont = uiFont(12);
    painter->setFont(titleFont);
    QColor titleColor = Theme::color(QStringLiteral("text"));
    if (!permitted) {
        titleColor = white(64);
    } else if (!selected) {
        titleColor = white(153);
    }
    painter->setPen(titleColor);
    // drawText takes no markup: the title is shown as the characters it is.
    const QString elided = QFontMetrics(titleFont).elidedText(title, Qt::ElideRight, w);
    painter->drawText(QRect(textLeft, r.top() + 10, w, 18), Qt::AlignLeft | Qt::AlignVCenter,
                      elided);

    painter->setFont(uiFont(10));
    painter->setPen(selected ? accentAt(128) : white(64));
    painter->drawText(QRect(textLeft, r.top() + 30, w, 14), Qt::AlignLeft | Qt::AlignVCenter,
                      line2);

    if (!permitted) {
        const QRect refused(r.right() - 58, r.top() + (r.height() - 20) / 2, 50, 20);
        painter->setPen(white(26));
        painter->setBrush(white(13));
        painter->drawRoundedRect(refused, 3, 3);
        painter->setFont(uiFont(9));
        painter->setPen(white(64));
        painter->drawText(refused, Qt::AlignCenter, QStringLiteral("无权限"));
    }

    if (playing) {
        const double t = double(m_now()) / kBarPhaseMs;
        painter->setPen(Qt::NoPen);
        painter->setBrush(accent);
        for (int i = 0; i < 3; ++i) {
            const int h = 4 + int(8 * std::abs(std::sin(i * 1.2 + t)));
            painter->drawRect(r.right() - 22 + 5 * i, r.top() + (r.height() - 12) / 2 + 12 - h, 3,
                              h);
        }
    }
    painter->restore();
}

bool PlaylistDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                 const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (event->type() != QEvent::ToolTip) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    const QString title = index.data(PlaylistModel::TitleRole).toString();
    int room = option.rect.right() - option.rect.left() - kTooltipSideRoom;
    if (!index.data(PlaylistModel::PermissionRole).toBool()) {
        room -= kTooltipRefusedRoom;
    }
    const QString elided = QFontMetrics(uiFont(12)).elidedText(title, Qt::ElideRight, room);
    if (elided == title) {
        QToolTip::hideText();
    } else {
        // Tooltips take markup; the title is shown literally.
        QToolTip::showText(event->globalPos(), Qt::convertFromPlainText(title), view);
    }
    return true;
}
