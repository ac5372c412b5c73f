#include "StatusBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "PlainLabel.h"

namespace {

constexpr int kBarHeight = 28;

// %1 bar background, %2 accent.
const char* const kStyle = R"(
StatusBar { background-color: %1; border-top: 1px solid rgba(0,212,255,0.18); }
#statusUser, #statusExpire { font-size: 11px; color: rgba(255,255,255,0.45);
                             background: transparent; }
#statusSep { font-size: 11px; color: rgba(255,255,255,0.22); background: transparent; }
#switchBtn { background: transparent; border: none; color: %2; font-size: 11px; padding: 0 2px;
             text-align: left; }
#switchBtn:hover { color: #33ddff; text-decoration: underline; }
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

    m_switchButton = new QPushButton(QStringLiteral("切换账号"), this);
    m_switchButton->setObjectName(QStringLiteral("switchBtn"));
    m_switchButton->setFlat(true);
    m_switchButton->setCursor(Qt::PointingHandCursor);
    layout->addWidget(m_switchButton);
    layout->addSpacing(16);

    m_expiryLabel = plainLabel(QString(), "statusExpire", this);
    layout->addWidget(m_expiryLabel);
    layout->addStretch();

    connect(m_switchButton, &QPushButton::clicked, this, &StatusBar::switchAccountClicked);

    setStyleSheet(
        QString::fromLatin1(kStyle).arg(QStringLiteral("#304260"), QStringLiteral("#00d4ff")));
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
