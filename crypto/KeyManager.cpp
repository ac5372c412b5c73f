#include "KeyManager.h"

#include <QJsonObject>
#include <QMutexLocker>
#include <QNetworkReply>
#include <algorithm>

#include "ApiClient.h"
#include "ApiMessages.h"
#include "AuthManager.h"
#include "CryptoUtils.h"
#include "DeviceIdentity.h"
#include "KeyStore.h"

namespace {

// Key requests get a shorter transport mapping than logins: the player only
// needs to tell "no connection" and "too slow" from everything else.
QString keyTransportMessage(QNetworkReply::NetworkError error, const QString&)
{
    switch (error) {
        case QNetworkReply::ConnectionRefusedError:
        case QNetworkReply::HostNotFoundError:
        case QNetworkReply::NetworkSessionFailedError:
            return QStringLiteral("无法连接服务器，请检查网络");
        case QNetworkReply::TimeoutError:
        case QNetworkReply::OperationCanceledError:
            return QStringLiteral("服务器响应超时");
        default:
            return QStringLiteral("网络请求失败");
    }
}

bool isTokenRefusal(const QString& code)
{
    return code == QLatin1String("TOKEN_EXPIRED") || code == QLatin1String("TOKEN_INVALID");
}

bool isHexDigit(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

}  // namespace

KeyManager::KeyManager(AuthManager* auth, KeyStore* store, QObject* parent)
    : QObject(parent),
      m_client(new ApiClient(this)),
      m_auth(auth ? auth : AuthManager::instance()),
      m_store(store ? store : KeyStore::instance())
{}

KeyManager::~KeyManager()
{
    QMutexLocker locker(&m_mutex);
    for (auto it = m_cache.begin(); it != m_cache.end(); ++it) {
        CryptoUtils::secureWipe(it.value());
    }
}

QString KeyManager::normalizeKeyId(const QString& keyId)
{
    if (keyId.contains(QLatin1Char('-')) || keyId.size() != 32) {
        return keyId;
    }
    // A lenient decoder would skip stray characters and still produce 16
    // bytes from 31 digits, naming some other key; only 32 real digits count.
    if (!std::all_of(keyId.cbegin(), keyId.cend(), isHexDigit)) {
        return {};
    }
    return CryptoUtils::formatVideoId(QByteArray::fromHex(keyId.toLatin1()));
}

void KeyManager::requestKey(const QString& keyId, const QString& fileId)
{
    const QString id = normalizeKeyId(keyId);

    QByteArray key;
    bool cached = false;
    {
        QMutexLocker locker(&m_mutex);
        const auto it = m_cache.constFind(id);
        if (it != m_cache.constEnd()) {
            key = *it;
            cached = true;
        }
    }
    if (cached) {
        emit keyReady(fileId, key, QByteArray());
        return;
    }

    if (m_store->contains(id)) {
        key = m_store->key(id);
        {
            QMutexLocker locker(&m_mutex);
            m_cache.insert(id, key);
        }
        emit keyReady(fileId, key, QByteArray());
        return;
    }

    fetchKey(id, fileId, false);
}

void KeyManager::fetchKey(const QString& keyId, const QString& fileId, bool retried,
                          const QString& refreshedToken)
{
    m_client->setToken(refreshedToken.isEmpty() ? m_auth->token() : refreshedToken);
    const QJsonObject body{
        {QStringLiteral("keyId"), keyId},
        {QStringLiteral("fileId"), fileId},
        {QStringLiteral("deviceId"), DeviceIdentity::deviceId()},
        {QStringLiteral("deviceName"), DeviceIdentity::deviceName()},
    };
    QNetworkReply* reply = m_client->post(QStringLiteral("/api/video/key"), body);

    connect(reply, &QNetworkReply::finished, this, [this, reply, keyId, fileId, retried] {
        KeyAnswer answer = readKeyAnswer(ApiClient::readResult(reply), retried);
        switch (answer.outcome) {
            case KeyAnswer::Outcome::RenewAndRetry:
                refreshAndRetry(keyId, fileId);
                return;
            case KeyAnswer::Outcome::Refused:
                emit keyError(fileId, answer.reason);
                return;
            case KeyAnswer::Outcome::Key:
                break;
        }
        {
            QMutexLocker locker(&m_mutex);
            m_cache.insert(keyId, answer.key);
        }
        emit keyReady(fileId, answer.key, answer.iv);
    });
}

KeyManager::KeyAnswer::~KeyAnswer()
{
    CryptoUtils::secureWipe(key);
    CryptoUtils::secureWipe(iv);
}

KeyManager::KeyAnswer KeyManager::readKeyAnswer(const ApiResult& result, bool retried)
{
    KeyAnswer answer;
    if (result.kind == ApiResult::Kind::Refused && !retried && isTokenRefusal(result.code)) {
        answer.outcome = KeyAnswer::Outcome::RenewAndRetry;
        return answer;
    }
    if (!result.succeeded()) {
        answer.reason = result.failureText(keyErrorMessage, keyTransportMessage);
        return answer;
    }

    answer.key =
        QByteArray::fromBase64(result.data.value(QLatin1String("key")).toString().toLatin1());
    answer.iv =
        QByteArray::fromBase64(result.data.value(QLatin1String("iv")).toString().toLatin1());
    // A success without a usable key would otherwise be cached and make
    // the file unplayable for the rest of the run.
    if (answer.key.size() != CryptoUtils::kKeySize) {
        CryptoUtils::secureWipe(answer.key);
        CryptoUtils::secureWipe(answer.iv);
        answer.reason = unreadableAnswerMessage();
        return answer;
    }
    answer.outcome = KeyAnswer::Outcome::Key;
    return answer;
}

void KeyManager::refreshAndRetry(const QString& keyId, const QString& fileId)
{
    m_client->setToken(m_auth->token());
    QNetworkReply* reply = m_client->get(QStringLiteral("/api/auth/me"));

    connect(reply, &QNetworkReply::finished, this, [this, reply, keyId, fileId] {
        const ApiResult result = ApiClient::readResult(reply);
        if (!result.succeeded()) {
            emit keyError(fileId, QStringLiteral("登录已过期，请重新登录"));
            return;
        }
        // Renewal retires the old token on the server, so the login record,
        // the saved token and this client all move to the new one.
        const QString fresh = m_auth->adoptRenewal(result.data);
        if (!fresh.isEmpty()) {
            m_client->setToken(fresh);
        }
        fetchKey(keyId, fileId, true, fresh);
    });
}
