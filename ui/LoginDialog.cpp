#include "LoginDialog.h"

#include <QCheckBox>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "AppConfig.h"
#include "AuthManager.h"
#include "PlainLabel.h"
#include "Theme.h"

namespace {

// The card fills the whole dialog; the translucent corners outside its
// rounded border are what make it look like a card.
constexpr int kCardWidth = 360;
constexpr int kCardHeight = 410;
constexpr int kCloseSize = 28;
constexpr int kLogoSize = 28;
constexpr int kFieldHeight = 40;
constexpr int kButtonHeight = 44;
constexpr int kErrorHeight = 20;  // reserved height, so a message does not shift the button

const QString kIdleText = QStringLiteral("登 录");
const QString kBusyText = QStringLiteral("登录中...");

const char* const kStyle = R"(
#loginCard { background-color: {panel}; border-radius: 12px; border: 1px solid {accentFrame}; }
#brandRow { background: transparent; }
#logoIcon { font-size: 24px; color: {accent}; background: transparent; }
#loginTitle { font-size: 22px; font-weight: 700; color: {accent}; letter-spacing: 6px;
              padding-left: 6px; background: transparent; }
#fieldLabel { font-size: 12px; color: {white@45}; background: transparent; }
#loginInput { background-color: {field}; border: 1px solid {accentFrame}; border-radius: 6px;
              color: {text}; font-size: 13px; padding: 0 12px; }
#loginInput:focus { border-color: {accent}; }
#loginInput::placeholder { color: {white@25}; }
#loginBtn { background-color: {accent}; color: {ink}; font-size: 14px; font-weight: 700;
            letter-spacing: 2px; border: none; border-radius: 6px; }
#loginBtn:hover { background-color: {accentHover}; }
#loginBtn:pressed { background-color: {accentPressed}; }
#loginBtn:disabled { background-color: {accent@30}; color: {white@40}; }
#closeBtn { background: transparent; border: none; color: {white@50}; font-size: 18px;
            font-weight: bold; border-radius: 14px; }
#closeBtn:hover { background-color: {white@10}; color: {white@90}; }
#rememberCheck { font-size: 12px; color: {white@65}; background: transparent;
                 spacing: 6px; }
#rememberCheck::indicator { width: 16px; height: 16px; border: 1.5px solid {white@30};
                            border-radius: 3px; background: transparent; }
#rememberCheck::indicator:checked { border-color: {accent}; background-color: {accent};
                                    image: url(:/check.svg); }
#errorLabel { color: {danger}; font-size: 12px; background: transparent; }
)";

QLineEdit* inputField(const QString& placeholder, QWidget* parent)
{
    auto* field = new QLineEdit(parent);
    field->setObjectName(QStringLiteral("loginInput"));
    field->setPlaceholderText(placeholder);
    field->setFixedHeight(kFieldHeight);
    return field;
}

}  // namespace

LoginDialog::LoginDialog(QWidget* parent) : QDialog(parent)
{
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(kCardWidth, kCardHeight);

    buildCard();
    setStyleSheet(Theme::fill(kStyle));

    AuthManager* auth = AuthManager::instance();
    connect(auth, &AuthManager::loginSucceeded, this, &LoginDialog::onLoginSucceeded);
    connect(auth, &AuthManager::loginFailed, this, &LoginDialog::onLoginFailed);
    connect(m_loginButton, &QPushButton::clicked, this, &LoginDialog::onLoginClicked);
    connect(m_userField, &QLineEdit::returnPressed, this, &LoginDialog::onLoginClicked);
    connect(m_passwordField, &QLineEdit::returnPressed, this, &LoginDialog::onLoginClicked);
    connect(m_closeButton, &QPushButton::clicked, this, &QDialog::reject);

    AppConfig* config = AppConfig::instance();
    m_userField->setText(config->lastUsername());
    m_rememberBox->setChecked(config->rememberPassword());
    if (m_rememberBox->isChecked()) {
        m_passwordField->setText(config->savedPassword());
    }
    // The checked look comes from the style sheet, which was applied before
    // the box was checked.
    m_rememberBox->style()->unpolish(m_rememberBox);
    m_rememberBox->style()->polish(m_rememberBox);
    m_rememberBox->update();
    // Typing starts where something is missing, never on the close button.
    (m_userField->text().isEmpty() ? m_userField : m_passwordField)->setFocus();
}

void LoginDialog::buildCard()
{
    auto* card = new QWidget(this);
    card->setObjectName(QStringLiteral("loginCard"));
    card->setAttribute(Qt::WA_StyledBackground);
    card->setFixedSize(kCardWidth, kCardHeight);

    m_closeButton = Theme::pointerButton(QStringLiteral("×"), card, QStringLiteral("closeBtn"));
    m_closeButton->setFixedSize(kCloseSize, kCloseSize);
    m_closeButton->move(kCardWidth - kCloseSize - 8, 8);
    m_closeButton->setDefault(false);
    m_closeButton->setAutoDefault(false);

    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(40, 44, 40, 40);
    layout->setSpacing(0);

    auto* brandRow = new QWidget(card);
    brandRow->setObjectName(QStringLiteral("brandRow"));
    auto* brandLayout = new QHBoxLayout(brandRow);
    brandLayout->setContentsMargins(0, 0, 0, 0);
    brandLayout->setSpacing(10);
    brandLayout->setAlignment(Qt::AlignCenter);
    auto* logo = new QLabel(brandRow);
    logo->setObjectName(QStringLiteral("logoIcon"));
    logo->setFixedSize(kLogoSize, kLogoSize);
    logo->setPixmap(
        QPixmap(QStringLiteral(":/logo.svg"))
            .scaled(kLogoSize, kLogoSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    brandLayout->addWidget(logo);
    brandLayout->addWidget(plainLabel(QStringLiteral("影匣"), "loginTitle", brandRow));
    layout->addWidget(brandRow);
    layout->addSpacing(40);

    layout->addWidget(plainLabel(QStringLiteral("账号"), "fieldLabel", card));
    layout->addSpacing(6);
    m_userField = inputField(QStringLiteral("请输入账号"), card);
    layout->addWidget(m_userField);
    layout->addSpacing(16);

    layout->addWidget(plainLabel(QStringLiteral("密码"), "fieldLabel", card));
    layout->addSpacing(6);
    m_passwordField = inputField(QStringLiteral("请输入密码"), card);
    m_passwordField->setEchoMode(QLineEdit::Password);
    layout->addWidget(m_passwordField);
    layout->addSpacing(8);

    m_rememberBox = new QCheckBox(QStringLiteral("记住密码"), card);
    m_rememberBox->setObjectName(QStringLiteral("rememberCheck"));
    layout->addWidget(m_rememberBox);
    layout->addSpacing(8);

    // Server sentences land here: plain text, never markup.
    m_errorLabel = plainLabel(QString(), "errorLabel", card);
    m_errorLabel->setAlignment(Qt::AlignCenter);
    m_errorLabel->setFixedHeight(kErrorHeight);
    m_errorLabel->hide();
    layout->addWidget(m_errorLabel);
    layout->addSpacing(8);

    m_loginButton = Theme::pointerButton(kIdleText, card, QStringLiteral("loginBtn"));
    m_loginButton->setFixedHeight(kButtonHeight);
    m_loginButton->setDefault(false);
    m_loginButton->setAutoDefault(false);
    layout->addWidget(m_loginButton);
    layout->addStretch();

    m_closeButton->raise();

    auto* shadow = new QGraphicsDropShadowEffect(card);
    shadow->setBlurRadius(40);
    shadow->setOffset(0, 8);
    shadow->setColor(Theme::color(QStringLiteral("black"), 120));
    card->setGraphicsEffect(shadow);
}

void LoginDialog::onLoginClicked()
{
    // Return in a field reaches this slot twice (the field's returnPressed,
    // then the key passed on to the card), and a request already on its way
    // must not be doubled by a second gesture either.
    if (m_busy) {
        return;
    }
    const QString user = m_userField->text().trimmed();
    const QString password = m_passwordField->text();
    if (user.isEmpty() || password.isEmpty()) {
        m_errorLabel->setText(QStringLiteral("账号和密码不能为空"));
        m_errorLabel->show();
        return;
    }
    m_errorLabel->hide();
    setBusy(true);
    AuthManager::instance()->login(user, password);
}

void LoginDialog::onLoginSucceeded()
{
    // Only the answer to this card's own request counts: a login finished
    // elsewhere says nothing about the password typed here.
    if (!m_busy) {
        return;
    }
    setBusy(false);
    AppConfig* config = AppConfig::instance();
    const bool remember = m_rememberBox->isChecked();
    config->setRememberPassword(remember);
    config->setSavedPassword(remember ? m_passwordField->text() : QString());
    accept();
}

void LoginDialog::onLoginFailed(const QString& reason)
{
    if (!m_busy) {
        return;
    }
    setBusy(false);
    m_errorLabel->setText(reason);
    m_errorLabel->show();
}

void LoginDialog::setBusy(bool busy)
{
    m_busy = busy;
    m_loginButton->setEnabled(!busy);
    m_loginButton->setText(busy ? kBusyText : kIdleText);
    m_userField->setEnabled(!busy);
    m_passwordField->setEnabled(!busy);
}

void LoginDialog::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
        case Qt::Key_Escape:
            reject();
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            onLoginClicked();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void LoginDialog::mousePressEvent(QMouseEvent* event)
{
    if (m_drag.press(this, event)) {
        event->accept();
    }
}

void LoginDialog::mouseMoveEvent(QMouseEvent* event)
{
    if (m_drag.move(this, event)) {
        event->accept();
    }
}

void LoginDialog::mouseReleaseEvent(QMouseEvent* event)
{
    Q_UNUSED(event);
    m_drag.release();
}
