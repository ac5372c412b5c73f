#include "EncryptTaskDelegate.h"

#include <QAbstractItemView>
#include <QCursor>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include "EncryptTaskModel.h"
#include "SvgIcon.h"
#include "Theme.h"

namespace {

using Status = EncryptTaskModel::Status;

// The card's inner margins and the room between its parts.
constexpr int kMarginX = 12;
constexpr int kMarginY = 8;
constexpr int kSpacing = 10;
// The card's corner and the pixel sizes of its two lines of text.
constexpr qreal kCornerRadius = 7.0;
constexpr int kNamePixelSize = 12;
constexpr int kStatusPixelSize = 11;
// Buttons are one text line tall; ✕ is square and 重试 as wide as its text,
// as the borderless push buttons they replace were.
constexpr int kButtonSize = 22;

// The status marks are drawn, not typed: emoji and most symbol characters
// have no glyph in the fonts a Linux desktop usually has, and would show as
// empty boxes there while Windows drew them in colour.
constexpr int kMarkSize = 14;
constexpr int kMarkGap = 5;  // between a mark and its word
const QString kPauseMark = QStringLiteral(R"(<path d="M6 19h4V5H6v14zm8-14v14h4V5h-4z"/>)");
const QString kHourglassMark = QStringLiteral(
    R"(<path d="M6 2v6h.01L6 8.01 10 12l-4 4 .01.01H6V22h12v-5.99h-.01L18 16l-4-4 4-3.99-.01-.01H18V2H6z)"
    R"(m10 14.5V20H8v-3.5l4-4 4 4zm-4-5l-4-4V4h8v3.5l-4 4z"/>)");
const QString kDoneMark = QStringLiteral(
    R"(<path d="M12 2C6.48 2 2 6.48 2 12s4.48 10 10 10 10-4.48 10-10S17.52 2 12 2zm-2 15l-5-5 )"
    R"(1.41-1.41L10 14.17l7.59-7.59L19 8l-9 9z"/>)");
const QString kFailedMark = QStringLiteral(
    R"(<path d="M12 2C6.47 2 2 6.47 2 12s4.47 10 10 10 10-4.47 10-10S17.53 2 12 2zm5 13.59L15.59 17 )"
    R"(12 13.41 8.41 17 7 15.59 10.59 12 7 8.41 8.41 7 12 10.59 15.59 7 17 8.41 13.41 12 17 15.59z"/>)");
const QString kWarningMark =
    QStringLiteral(R"(<path d="M1 21h22L12 2 1 21zm12-3h-2v-2h2v2zm0-4h-2v-4h2v4z"/>)");

const QColor kCardColour = Theme::color(QStringLiteral("panel"));
const QColor kCardBorder = Theme::color(QStringLiteral("accent"), 38);
const QColor kNameColour = Theme::color(QStringLiteral("text"));
const QColor kButtonColour = Theme::color(QStringLiteral("white"), 153);
const QColor kButtonHover = Theme::color(QStringLiteral("accent"));

struct Look
{
    const QString& mark;
    QColor colour;
};

Look lookOf(Status status)
{
    switch (status) {
        case Status::Waiting:
            return {kPauseMark, Theme::color(QStringLiteral("white"), 115)};
        case Status::Queued:
            return {kHourglassMark, Theme::color(QStringLiteral("white"), 153)};
        case Status::Encrypting:
        case Status::Uploading:
            return {kHourglassMark, Theme::color(QStringLiteral("accent"))};
        case Status::Done:
            return {kDoneMark, Theme::color(QStringLiteral("success"))};
        case Status::Failed:
            return {kFailedMark, Theme::color(QStringLiteral("danger"))};
        case Status::UploadRetry:
            return {kWarningMark, Theme::color(QStringLiteral("warning"))};
    }
    return {kPauseMark, Theme::color(QStringLiteral("white"), 115)};
}

QFont pixelFont(int pixels)
{
    QFont f;
    f.setPixelSize(pixels);
    return f;
}

Status statusOf(const QModelIndex& index)
{
    return Status(index.data(EncryptTaskModel::StatusRole).toInt());
}

QString buttonText(Status status)
{
    if (status == Status::Waiting) {
        return QStringLiteral("✕");
    }
    return status == Status::UploadRetry ? QStringLiteral("重试") : QString();
}

}  // namespace

struct EncryptTaskDelegate::Geometry
{
    QRect name;
    QRect mark;
    QRect status;
    QRect button;
    QString statusText;  // elided to its room
};

EncryptTaskDelegate::EncryptTaskDelegate(QObject* parent) : QStyledItemDelegate(parent)
{
    // The view repaints a row when the pointer enters it, not when it moves
    // onto the row's button; the button's hover colour needs the latter.
    if (auto* view = qobject_cast<QAbstractItemView*>(parent)) {
        view->viewport()->installEventFilter(this);
    }
}

bool EncryptTaskDelegate::eventFilter(QObject* watched, QEvent* event)
{
    auto* view = qobject_cast<QAbstractItemView*>(parent());
    if (view && watched == view->viewport() && event->type() == QEvent::MouseMove) {
        view->update(view->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint()));
    }
    return QStyledItemDelegate::eventFilter(watched, event);
}

QSize EncryptTaskDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return QSize(0, kRowHeight);
}

EncryptTaskDelegate::Geometry EncryptTaskDelegate::geometry(const QRect& rect,
                                                            const QModelIndex& index)
{
    Geometry g;
    const QRect inner = rect.adjusted(kMarginX, kMarginY, -kMarginX, -kMarginY);
    const auto centred = [&inner](int left, int width, int height) {
        return QRect(left, inner.top() + (inner.height() - height) / 2, width, height);
    };
    int right = inner.right() + 1;
    const Status status = statusOf(index);
    const QString button = buttonText(status);
    if (!button.isEmpty()) {
        const int width = status == Status::Waiting
                              ? kButtonSize
                              : QFontMetrics(QFont()).horizontalAdvance(button);
        g.button = centred(right - width, width, kButtonSize);
        right = g.button.left() - kSpacing;
    }
    const QFontMetrics statusMetrics(pixelFont(kStatusPixelSize));
    g.statusText = index.data(EncryptTaskModel::StatusTextRole).toString();
    if (status == Status::Failed) {
        g.statusText = statusMetrics.elidedText(g.statusText, Qt::ElideRight, kReasonMaxWidth);
    }
    const int statusWidth = statusMetrics.horizontalAdvance(g.statusText);
    // Texts take the card's whole inner height and centre themselves in it.
    g.status = QRect(right - statusWidth, inner.top(), statusWidth, inner.height());
    g.mark = centred(g.status.left() - kMarkGap - kMarkSize, kMarkSize, kMarkSize);
    const int nameRight = g.mark.left() - kSpacing;
    g.name = QRect(inner.left(), inner.top(), qMax(0, nameRight - inner.left()), inner.height());
    return g;
}

QRect EncryptTaskDelegate::buttonRect(const QRect& rect, const QModelIndex& index)
{
    return geometry(rect, index).button;
}

EncryptTaskDelegate::Part EncryptTaskDelegate::partAt(const QRect& rect, const QModelIndex& index,
                                                      const QPoint& pos)
{
    const Geometry g = geometry(rect, index);
    if (g.button.contains(pos)) {
        return Part::Button;
    }
    if (g.status.united(g.mark).contains(pos)) {
        return Part::Status;
    }
    return g.name.contains(pos) ? Part::Name : Part::None;
}

void EncryptTaskDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const
{
    const Geometry g = geometry(option.rect, index);
    const Status status = statusOf(index);
    const Look look = lookOf(status);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(QPen(kCardBorder, 1));
    painter->setBrush(kCardColour);
    painter->drawRoundedRect(QRectF(option.rect).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius,
                             kCornerRadius);

    // drawText takes no markup: every text is shown as the characters it is.
    const QFont nameFont = pixelFont(kNamePixelSize);
    painter->setFont(nameFont);
    painter->setPen(kNameColour);
    const QString name = index.data(Qt::DisplayRole).toString();
    painter->drawText(g.name, Qt::AlignLeft | Qt::AlignVCenter,
                      QFontMetrics(nameFont).elidedText(name, Qt::ElideRight, g.name.width()));

    painter->drawPixmap(g.mark.topLeft(), SvgIcon::pixmap(look.mark, look.colour, kMarkSize));
    painter->setFont(pixelFont(kStatusPixelSize));
    painter->setPen(look.colour);
    painter->drawText(g.status, Qt::AlignLeft | Qt::AlignVCenter, g.statusText);

    if (!g.button.isEmpty()) {
        const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
        const bool hovered = view && option.state.testFlag(QStyle::State_MouseOver) &&
                             g.button.contains(view->viewport()->mapFromGlobal(QCursor::pos()));
        painter->setFont(QFont());
        painter->setPen(hovered ? kButtonHover : kButtonColour);
        painter->drawText(g.button, Qt::AlignCenter, buttonText(status));
    }
    painter->restore();
}

bool EncryptTaskDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                      const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (event->type() != QEvent::MouseButtonRelease) {
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    }
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton ||
        !buttonRect(option.rect, index).contains(mouse->position().toPoint())) {
        return false;
    }
    const QString path = index.data(EncryptTaskModel::PathRole).toString();
    if (statusOf(index) == Status::Waiting) {
        emit removeRequested(path);
    } else if (statusOf(index) == Status::UploadRetry) {
        emit retryRequested(path);
    }
    return true;
}

QStringList EncryptTaskDelegate::shownTexts(const QModelIndex& index)
{
    QStringList texts{index.data(Qt::DisplayRole).toString(),
                      index.data(EncryptTaskModel::StatusTextRole).toString()};
    const QString button = buttonText(statusOf(index));
    if (!button.isEmpty()) {
        texts << button;
    }
    return texts;
}

QString EncryptTaskDelegate::toolTipFor(const QModelIndex& index, Part part)
{
    switch (part) {
        case Part::Name:
            return plainToolTip(index.data(EncryptTaskModel::NameToolTipRole).toString());
        case Part::Status:
            return plainToolTip(index.data(EncryptTaskModel::StatusToolTipRole).toString());
        case Part::Button:
            return statusOf(index) == Status::Waiting ? QStringLiteral("移除")
                                                      : QStringLiteral("重新上传密钥");
        case Part::None:
            break;
    }
    return {};
}

bool EncryptTaskDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                    const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (event->type() != QEvent::ToolTip) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    const QString tip = toolTipFor(index, partAt(option.rect, index, event->pos()));
    if (tip.isEmpty()) {
        QToolTip::hideText();
    } else {
        QToolTip::showText(event->globalPos(), tip, view);
    }
    return true;
}

QString EncryptTaskDelegate::plainToolTip(const QString& text)
{
    return text.isEmpty()
               ? QString()
               : QStringLiteral("<p style='white-space:pre-wrap'>%1</p>").arg(text.toHtmlEscaped());
}
