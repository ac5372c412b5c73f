#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QReadWriteLock>
#include <QString>

#include "UserInfo.h"

class ApiClient;

// The login state of the program: logs in, logs in silently with the token
// of an earlier run, logs out, and holds the current user's record.
class AuthManager : public QObject
{
    Q_OBJECT

public:
    static constexpr int kLoginTimeoutMs = 10000;
    static constexpr int kSilentLoginTimeoutMs = 5000;

    static AuthManager* instance();

    // Ends with exactly one of loginSucceeded or loginFailed.
    void login(const QString& username, const QString& password);
    // Ends with exactly one of loginSucceeded or autoLoginFailed; the latter
    // comes before the call returns when no token was saved.
    void autoLogin();
    // Emits loggedOut before it returns.
    void logout();

    UserInfo currentUser() const;
    QString token() const;

    // The server retires a token when it renews it, so a token renewed by
    // another component (the key manager's refresh) must replace the
    // record's, or every later request would carry a dead token. Ignored
    // while nobody is logged in; an invalid expiry keeps the old one.
    void adoptRenewedToken(const QString& token, const QDateTime& tokenExpiry);
    // The same for the data of a renewal answer (/api/auth/me): the saved
    // token and the record move to the new token. Returns it, empty when
    // the answer carries none.
    QString adoptRenewal(const QJsonObject& data);

    // Server times are ISO 8601, optionally with a fraction finer than
    // milliseconds and a trailing "Z". Invalid when empty or unparsable.
    static QDateTime parseServerTime(const QString& text);

signals:
    void loginSucceeded(UserInfo user);
    void loginFailed(QString reason);
    void autoLoginFailed();
    void loggedOut();

private:
    AuthManager();

    // Replaces every field of the record from the server's data object;
    // typedName, when not empty, wins over the server's "username". Returns
    // whether the record now has a token.
    bool applyUserData(const QJsonObject& data, const QString& typedName);
    void clearSavedToken();

    mutable QReadWriteLock m_lock;
    UserInfo m_user;
    ApiClient* m_client;
};
