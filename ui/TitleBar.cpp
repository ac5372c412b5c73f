#include "TitleBar.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>

#include "SvgIcon.h"
#include "Theme.h"

#ifdef Q_OS_WIN
#include "NativeWindowMove.h"
#endif

namespace {

constexpr int kBarHeight = 40;
constexpr int kLogoSize = 20;
constexpr int kButtonWidth = 46;
constexpr int kCogSize = 18;

const QString kCogPath = QStringLiteral(
    "<path d=\"M19.14 12.94c.04-.3.06-.61.06-.94 0-.32-.02-.64-.07-.94l2.03-1.58a.49.49 0 "
    "00.12-.61l-1.92-3.32a.49.49 0 00-.59-.22l-2.39.96c-.5-.38-1.03-.7-1.62-.94l-.36-2.54a.484.484 "
    "0 00-.48-.41h-3.84c-.24 0-.43.17-.47.41l-.36 2.54c-.59.24-1.13.57-1.62.94l-2.39-.96a.49.49 0 "
    "00-.59.22L2.74 8.87c-.12.21-.08.47.12.61l2.03 1.58c-.05.3-.09.63-.09.94s.02.64.07.94l-2.03 "
    "1.58a.49.49 0 00-.12.61l1.92 3.32c.12.22.37.29.59.22l2.39-.96c.5.38 1.03.7 1.62.94l.36 "
    "2.54c.05.24.24.41.48.41h3.84c.24 0 .44-.17.47-.41l.36-2.54c.59-.24 1.13-.56 "
    "1.62-.94l2.39.96c.22.08.47 0 .59-.22l1.92-3.32c.12-.22.07-.47-.12-.61l-2.01-1.58zM12 "
    "15.6c-1.98 0-3.6-1.62-3.6-3.6s1.62-3.6 3.6-3.6 3.6 1.62 3.6 3.6-1.62 3.6-3.6 3.6z\"/>");

// The logo and the name are transparent: the application's theme gives every
// widget the page colour, which would put each on a darker box.
const char* const kStyle = R"(
TitleBar { background-color: {panel}; border-bottom: 1px solid {accentLine}; }
#logoIcon { font-size: 14px; color: {accent}; background: transparent; }
#logoText { font-size: 14px; font-weight: 700; letter-spacing: 2px; color: {accent}; background: transparent; }
#roleTag { font-size: 10px; color: {accent}; background-color: {accentTint};
           border: 1px solid {accentOutline}; border-radius: 3px; padding: 1px 7px; }
#winMin, #winMax, #winSettings { background: none; border: none; color: {white@45};
                                 font-size: 13px; }
#winMin:hover, #winMax:hover, #winSettings:hover { background-color: {white@8};
                                                   color: {text}; }
#winClose { background: none; border: none; color: {white@45}; font-size: 13px; }
#winClose:hover { background-color: {closeHover}; color: {white}; }
)";

QPushButton* windowButton(const QString& text, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setFixedSize(kButtonWidth, kBarHeight);
    button->setCursor(Qt::ArrowCursor);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

}  // namespace

TitleBar::TitleBar(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(kBarHeight);
    // A plain QWidget subclass paints its style-sheet background only when asked.
    setAttribute(Qt::WA_StyledBackground);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 0, 0, 0);
    layout->setSpacing(0);

    auto* logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("logoIcon"));
    logo->setFixedSize(kLogoSize, kLogoSize);
    logo->setPixmap(
        QPixmap(QStringLiteral(":/logo.svg"))
            .scaled(kLogoSize, kLogoSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    layout->addWidget(logo);
    layout->addSpacing(8);

    auto* name = new QLabel(QStringLiteral("影匣"), this);
    name->setObjectName(QStringLiteral("logoText"));
    name->setTextFormat(Qt::PlainText);
    layout->addWidget(name);
    layout->addSpacing(8);

    m_roleTag = new QLabel(this);
    m_roleTag->setObjectName(QStringLiteral("roleTag"));
    m_roleTag->setTextFormat(Qt::PlainText);
    m_roleTag->hide();
    layout->addWidget(m_roleTag);
    layout->addStretch();

    m_settingsButton = windowButton(QString(), "winSettings", this);
    m_settingsButton->setCursor(Qt::PointingHandCursor);
    m_settingsButton->setToolTip(QStringLiteral("设置"));
    m_settingsButton->setIcon(
        SvgIcon::icon(kCogPath, Theme::color(QStringLiteral("iconMuted")), kCogSize));
    m_settingsButton->setIconSize(QSize(kCogSize, kCogSize));
    m_minimizeButton = windowButton(QStringLiteral("─"), "winMin", this);
    m_maximizeButton = windowButton(QStringLiteral("□"), "winMax", this);
    m_closeButton = windowButton(QStringLiteral("✕"), "winClose", this);
    for (QPushButton* button :
         {m_settingsButton, m_minimizeButton, m_maximizeButton, m_closeButton}) {
        layout->addWidget(button);
    }

    connect(m_settingsButton, &QPushButton::clicked, this, &TitleBar::settingsClicked);
    connect(m_minimizeButton, &QPushButton::clicked, this, &TitleBar::minimizeClicked);
    connect(m_maximizeButton, &QPushButton::clicked, this, &TitleBar::maximizeClicked);
    connect(m_closeButton, &QPushButton::clicked, this, &TitleBar::closeClicked);

    setStyleSheet(Theme::fill(kStyle));
}

void TitleBar::setMerchant(bool isMerchant)
{
    Q_UNUSED(isMerchant);
    setRoleText(QString());
}

void TitleBar::setRoleText(const QString& text)
{
    m_roleTag->setText(text);
    m_roleTag->setVisible(!text.isEmpty());
}

void TitleBar::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        return;
    }
    // The drag starts once the pointer travels: a press that stays put may
    // be the first half of a double-click, and must not restore a maximised
    // window or hand the pointer to the system's move loop.
    m_pressed = true;
    m_pressPos = event->globalPosition().toPoint();
    event->accept();
}

void TitleBar::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
    if (!(event->buttons() & Qt::LeftButton)) {
        m_pressed = false;
        return;
    }
    const QPoint globalPos = event->globalPosition().toPoint();
    if (m_pressed &&
        (globalPos - m_pressPos).manhattanLength() >= QApplication::startDragDistance()) {
        m_pressed = false;
        beginDrag(m_pressPos);
    }
    if (QWidget* window = this->window(); window && window != this) {
        m_drag.move(window, event);
    }
}

void TitleBar::mouseReleaseEvent(QMouseEvent* event)
{
    Q_UNUSED(event);
    m_pressed = false;
    m_drag.release();
}

void TitleBar::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        return;
    }
    m_pressed = false;
    m_drag.release();
    event->accept();
    emit maximizeClicked();
}

void TitleBar::beginDrag(const QPoint& pressPos)
{
    QWidget* window = this->window();
    if (!window || window == this) {
        return;
    }
    if (window->isMaximized()) {
        // Restored with the grabbed point of the bar at the same share of
        // its width, so the bar stays in the hand instead of jumping away.
        const QRect maximised = window->frameGeometry();
        const double share =
            maximised.width() > 0 ? double(pressPos.x() - maximised.x()) / maximised.width() : 0.5;
        const int fromTop = pressPos.y() - maximised.y();
        window->showNormal();
        const QRect normal = window->normalGeometry();
        const int width = normal.isValid() ? normal.width() : window->width();
        window->move(pressPos.x() - qRound(share * width), pressPos.y() - fromTop);
    }
#ifdef Q_OS_WIN
    if (NativeWindowMove::begin(static_cast<std::uintptr_t>(window->winId()))) {
        return;
    }
#endif
    m_drag.begin(window, pressPos);
}
