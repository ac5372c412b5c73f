#pragma once

#include <QString>
#include <QWidget>

#include "UserInfo.h"

class QLabel;
class QPushButton;

// The main window's bottom bar: who is logged in, for which merchant, until
// when, and the link that switches account.
class StatusBar : public QWidget
{
    Q_OBJECT

public:
    explicit StatusBar(QWidget* parent = nullptr);

    void setUser(const UserInfo& user);

    // The texts shown for a user, exposed so the main window and tests read
    // the same wording. The expiry is given in the viewer's local time.
    static QString userText(const UserInfo& user);
    static QString expiryText(const QDateTime& accountExpiry);

signals:
    void switchAccountClicked();

private:
    QLabel* m_userLabel = nullptr;
    QLabel* m_expiryLabel = nullptr;
    QPushButton* m_switchButton = nullptr;
};
