#include "ConfirmDialog.h"

#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include "PlainLabel.h"
#include "Theme.h"

namespace {

// The palette names of the kind's sign and title colour and of its frame.
struct KindLook
{
    const char* colour;
    const char* frame;
    const char* icon;
};

KindLook lookFor(int kind)
{
    if (kind == ConfirmDialog::Warning) {
        return {"warning", "warningFrame", "⚠"};
    }
    return {"accent", "accentInfo", "ⓘ"};
}

// {%1} and {%2} become the kind's colour and frame names before the palette
// fills the sheet; the buttons keep the accent whatever the kind.
const char* const kStyle = R"(
#confirmCard { background: {panel}; border: 1px solid {%2}; border-radius: 10px; }
#confirmIcon { font-size: 16px; color: {%1}; background: transparent; qproperty-alignment: AlignCenter; }
#confirmTitle { font-size: 14px; font-weight: 700; color: {%1}; letter-spacing: 1px; background: transparent; }
#confirmMsg { font-size: 12px; color: {text}; background: transparent; line-height: 18px; }
#confirmOk { background: {accent}; color: {ink}; font-size: 12px; font-weight: 700; border: none;
             border-radius: 5px; padding: 0 18px; }
#confirmOk:hover { background: {accentHover}; }
#confirmCancel { background: transparent; color: {white@60};
                 border: 1px solid {accentQuiet}; font-size: 12px; border-radius: 5px;
                 padding: 0 18px; }
#confirmCancel:hover { border-color: {accent}; color: {accent}; }
)";

// The card's fixed sizes.
constexpr int kCardMinWidth = 340;
constexpr int kButtonHeight = 32;
constexpr int kShadowMargin = 20;  // transparent room around the card for its shadow

}  // namespace

ConfirmDialog::ConfirmDialog(const QString& title, const QString& message, const QString& okText,
                             const QString& cancelText, int kind, QWidget* parent)
    : QDialog(parent)
{
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setModal(true);

    const KindLook look = lookFor(kind);

    auto* card = new QWidget(this);
    card->setObjectName(QStringLiteral("confirmCard"));
    card->setAttribute(Qt::WA_StyledBackground);
    card->setMinimumWidth(kCardMinWidth);
    auto* cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(24, 22, 24, 20);
    cardLayout->setSpacing(10);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(0, 0, 0, 0);
    header->setSpacing(8);
    QLabel* icon = plainLabel(QString::fromUtf8(look.icon), "confirmIcon", card);
    icon->setFixedWidth(20);
    header->addWidget(icon);
    header->addWidget(plainLabel(title, "confirmTitle", card));
    header->addStretch();

    QLabel* msg = plainLabel(message, "confirmMsg", card);
    msg->setWordWrap(true);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 8, 0, 0);
    buttons->setSpacing(10);
    buttons->addStretch();
    QPushButton* cancel = nullptr;
    if (!cancelText.isEmpty()) {
        cancel = Theme::pointerButton(cancelText, card, QStringLiteral("confirmCancel"));
        cancel->setFixedHeight(kButtonHeight);
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
        buttons->addWidget(cancel);
    }
    QPushButton* ok = Theme::pointerButton(okText, card, QStringLiteral("confirmOk"));
    ok->setFixedHeight(kButtonHeight);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(ok);

    // Return must never answer a question by accident: where there is a way
    // out, it is the default; a notice with one button is acknowledged.
    QPushButton* byDefault = cancel ? cancel : ok;
    ok->setAutoDefault(false);
    if (cancel) {
        cancel->setAutoDefault(false);
    }
    byDefault->setDefault(true);
    byDefault->setFocus();

    cardLayout->addLayout(header);
    cardLayout->addWidget(msg);
    cardLayout->addLayout(buttons);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(kShadowMargin, kShadowMargin, kShadowMargin, kShadowMargin);
    outer->addWidget(card);

    auto* shadow = new QGraphicsDropShadowEffect(card);
    shadow->setBlurRadius(32);
    shadow->setOffset(0, 6);
    shadow->setColor(Theme::color(QStringLiteral("black"), 150));
    card->setGraphicsEffect(shadow);

    setStyleSheet(Theme::fill(
        QString::fromUtf8(kStyle).arg(QLatin1String(look.colour), QLatin1String(look.frame))));
}

bool ConfirmDialog::confirm(QWidget* parent, const QString& title, const QString& message,
                            const QString& okText, const QString& cancelText)
{
    ConfirmDialog dialog(title, message, okText, cancelText, Info, parent);
    return dialog.exec() == QDialog::Accepted;
}

void ConfirmDialog::alert(QWidget* parent, const QString& title, const QString& message, int kind,
                          const QString& okText)
{
    ConfirmDialog dialog(title, message, okText, QString(), kind, parent);
    dialog.exec();
}

void ConfirmDialog::mousePressEvent(QMouseEvent* event)
{
    if (m_drag.press(this, event)) {
        event->accept();
        return;
    }
    QDialog::mousePressEvent(event);
}

void ConfirmDialog::mouseMoveEvent(QMouseEvent* event)
{
    if (m_drag.move(this, event)) {
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void ConfirmDialog::mouseReleaseEvent(QMouseEvent* event)
{
    m_drag.release();
    QDialog::mouseReleaseEvent(event);
}
