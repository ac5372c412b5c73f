#include "StatusBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "PlainLabel.h"
#include "Theme.h"

namespace {

constexpr int kBarHeight = 28;

const char* const kStyle = R"(
StatusBar { background-color: {panel}; border-top: 1px solid {accentLine}; }
#statusUser, #statusExpire { font-size: 11px; color: {white@45};
                             background: transparent; }
#statusSep { font-size: 11px; color: {white@22}; background: transparent; }
#switchBtn { background: transparent; border: none; color: {accent}; font-size: 11px; padding: 0 2px;
             text-align: left; }
#switchBtn:hover { color: {accentHover}; text-decoration: underline; }
)";

}  // namespace

StatusBar::StatusBar(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(kBarHeight);
    setAttribute(Qt::WA_StyledBackground);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 0, 16, 0);
    layout->setSpacing(10);

    m_userLabel = plainLabel(QString(), "statusUser", this);
    layout->addWidget(m_userLabel);
    layout->addWidget(plainLabel(QStringLiteral("·"), "statusSep", this));

    m_switchButton =
        Theme::pointerButton(QStringLiteral("切换账号"), this, QStringLiteral("switchBtn"));
    m_switchButton->setFlat(true);
    layout->addWidget(m_switchButton);
    layout->addSpacing(16);

    m_expiryLabel = plainLabel(QString(), "statusExpire", this);
    layout->addWidget(m_expiryLabel);
    layout->addStretch();

    connect(m_switchButton, &QPushButton::clicked, this, &StatusBar::switchAccountClicked);

    setStyleSheet(Theme::fill(kStyle));
}

void StatusBar::setUser(const UserInfo& user)
{
    m_userLabel->setText(userText(user));
    m_expiryLabel->setText(expiryText(user.accountExpiry));
}

QString StatusBar::userText(const UserInfo& user)
{
    QString text = QStringLiteral("用户：") + user.displayName;
    if (!user.merchantName.isEmpty()) {
        text += QStringLiteral("（所属商家：") + user.merchantName + QStringLiteral("）");
    }
    return text;
}

QString StatusBar::expiryText(const QDateTime& accountExpiry)
{
    if (!accountExpiry.isValid()) {
        return QStringLiteral("账号有效期：永久有效");
    }
    // The server speaks UTC; the day that ends the account is the viewer's
    // day, so convert before taking the date.
    return QStringLiteral("账号有效期至：") +
           accountExpiry.toLocalTime().date().toString(QStringLiteral("yyyy-MM-dd"));
}
