#include "AuthManager.h"

#include <QJsonValue>
#include <QNetworkReply>
#include <QUrlQuery>

#include "ApiClient.h"
#include "ApiMessages.h"
#include "AppConfig.h"
#include "DeviceIdentity.h"

AuthManager* AuthManager::instance()
{
    // Never destroyed: replies may still be finishing while the program exits.
    static AuthManager* manager = new AuthManager();
    return manager;
}

AuthManager::AuthManager() : QObject(nullptr), m_client(new ApiClient(this))
{
    qRegisterMetaType<UserInfo>();
}

void AuthManager::login(const QString& username, const QString& password)
{
    const QString name = username.trimmed();
    QJsonObject body{
        {QStringLiteral("username"), name},
        {QStringLiteral("password"), password},
        {QStringLiteral("deviceId"), DeviceIdentity::deviceId()},
        {QStringLiteral("deviceName"), DeviceIdentity::deviceName()},
    };
    QNetworkReply* reply = m_client->post(QStringLiteral("/api/auth/login"), body);
    ApiClient::abortAfter(reply, kLoginTimeoutMs);

    connect(reply, &QNetworkReply::finished, this, [this, reply, name] {
        const ApiResult result = ApiClient::readResult(reply);
        if (!result.succeeded()) {
            emit loginFailed(result.failureText(authErrorMessage, networkErrorMessage));
            return;
        }
        if (!applyUserData(result.data, name)) {
            emit loginFailed(QStringLiteral("服务器返回的登录数据不完整"));
            return;
        }
        const UserInfo user = currentUser();
        AppConfig::instance()->setToken(user.token);
        AppConfig::instance()->setLastUsername(name);
        m_client->setToken(user.token);
        emit loginSucceeded(user);
    });
}

void AuthManager::autoLogin()
{
    const QString saved = AppConfig::instance()->token();
    if (saved.isEmpty()) {
        emit autoLoginFailed();
        return;
    }
    // No local expiry test: the expiry is not kept between runs, and the
    // server is the judge anyway.
    m_client->setToken(saved);
    QNetworkReply* reply = m_client->get(QStringLiteral("/api/auth/me"));
    ApiClient::abortAfter(reply, kSilentLoginTimeoutMs);

    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        const ApiResult result = ApiClient::readResult(reply);
        // Any failure, the network's included, discards the saved token so
        // the next start asks for the password instead of retrying blindly.
        if (!result.succeeded() || !applyUserData(result.data, QString())) {
            clearSavedToken();
            return;
        }
        const UserInfo user = currentUser();
        AppConfig::instance()->setToken(user.token);
        m_client->setToken(user.token);
        emit loginSucceeded(user);
    });
}

void AuthManager::logout()
{
    {
        QWriteLocker locker(&m_lock);
        if (!m_user.token.isEmpty()) {
            // Fire and forget: the answer changes nothing here.
            QNetworkReply* reply =
                m_client->post(QStringLiteral("/api/auth/logout"), QJsonObject());
            connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
        }
        m_user = UserInfo();
    }
    AppConfig::instance()->setToken(QString());
    m_client->setToken(QString());
    emit loggedOut();
}

UserInfo AuthManager::currentUser() const
{
    QReadLocker locker(&m_lock);
    return m_user;
}

QString AuthManager::token() const
{
    QReadLocker locker(&m_lock);
    return m_user.token;
}

void AuthManager::adoptRenewedToken(const QString& token, const QDateTime& tokenExpiry)
{
    if (token.isEmpty()) {
        return;
    }
    QWriteLocker locker(&m_lock);
    if (m_user.token.isEmpty()) {
        return;
    }
    m_user.token = token;
    if (tokenExpiry.isValid()) {
        m_user.tokenExpiry = tokenExpiry;
    }
}

QString AuthManager::adoptRenewal(const QJsonObject& data)
{
    const QString fresh = data.value(QLatin1String("token")).toString();
    if (!fresh.isEmpty()) {
        AppConfig::instance()->setToken(fresh);
        adoptRenewedToken(fresh,
                          parseServerTime(data.value(QLatin1String("tokenExpiry")).toString()));
    }
    return fresh;
}

void AuthManager::clearSavedToken()
{
    AppConfig::instance()->setToken(QString());
    m_client->setToken(QString());
    emit autoLoginFailed();
}

bool AuthManager::applyUserData(const QJsonObject& data, const QString& typedName)
{
    QWriteLocker locker(&m_lock);
    m_user.userId = data.value(QLatin1String("userId")).toString();
    m_user.username =
        typedName.isEmpty() ? data.value(QLatin1String("username")).toString() : typedName;
    const QJsonValue displayName = data.value(QLatin1String("displayName"));
    m_user.displayName = displayName.isString() ? displayName.toString() : m_user.username;
    m_user.token = data.value(QLatin1String("token")).toString();
    const QString role = data.value(QLatin1String("role")).toString();
    m_user.isMerchant = role == QLatin1String("merchant") || role == QLatin1String("admin");
    m_user.tokenExpiry = parseServerTime(data.value(QLatin1String("tokenExpiry")).toString());
    m_user.accountExpiry = parseServerTime(data.value(QLatin1String("accountExpiry")).toString());
    m_user.merchantId = data.value(QLatin1String("merchantId")).toString();
    m_user.merchantName = data.value(QLatin1String("merchantName")).toString();
    return !m_user.token.isEmpty();
}

QDateTime AuthManager::parseServerTime(const QString& text)
{
    if (text.isEmpty()) {
        return {};
    }
    QString normalised = text;
    if (normalised.endsWith(QLatin1Char('Z'))) {
        normalised.chop(1);
        normalised += QStringLiteral("+00:00");
    }
    // Qt reads at most milliseconds; finer fractions are cut, not rounded.
    const qsizetype dot = normalised.indexOf(QLatin1Char('.'));
    if (dot >= 0) {
        qsizetype end = dot + 1;
        while (end < normalised.size() && normalised.at(end).isDigit()) {
            ++end;
        }
        const qsizetype digits = end - dot - 1;
        if (digits > 3) {
            normalised.remove(dot + 4, digits - 3);
        }
    }
    QDateTime parsed = QDateTime::fromString(normalised, Qt::ISODateWithMs);
    if (!parsed.isValid()) {
        parsed = QDateTime::fromString(normalised, Qt::ISODate);
    }
    return parsed;
}
