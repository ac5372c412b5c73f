#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

// The logged-in user. The default record (empty strings, not a merchant,
// invalid times) means nobody is logged in.
struct UserInfo
{
    QString userId;
    QString username;
    QString displayName;
    QString token;
    bool isMerchant = false;
    QDateTime tokenExpiry;
    QDateTime accountExpiry;
    QString merchantId;
    QString merchantName;
};

Q_DECLARE_METATYPE(UserInfo)
