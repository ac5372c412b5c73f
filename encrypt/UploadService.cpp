#include "UploadService.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

#include "ApiClient.h"
#include "ApiMessages.h"
#include "AuthManager.h"
#include "CryptoUtils.h"
#include "DeviceIdentity.h"

namespace {

bool isTokenRefusal(const QString& code)
{
    return code == QLatin1String("TOKEN_EXPIRED") || code == QLatin1String("TOKEN_INVALID");
}

QString conflictUnsettled(const QString& reason)
{
    return QStringLiteral("服务器已有该视频 ID 的密钥，暂时无法确认是否就是本次上传的密钥（%1）")
        .arg(reason);
}

// Appends without ever growing into a new block: a reallocation would leave
// the old block, secrets included, to the allocator unwiped.
void appendReserved(QByteArray& out, const QByteArray& piece)
{
    Q_ASSERT(out.capacity() - out.size() >= piece.size());
    out.append(piece);
}

}  // namespace

// One registration in flight, with the secrets it needs until its outcome.
struct UploadService::Registration
{
    ~Registration()
    {
        CryptoUtils::secureWipe(key);
        CryptoUtils::secureWipe(iv);
    }

    QString srcFile;
    QString keyId;
    QByteArray key;
    QByteArray iv;
    QString title;
    QString sourceFileName;
    qint64 fileSize = 0;
    bool resend = false;
    bool refreshed = false;  // the token was renewed once already
};

QByteArray UploadService::body(const Registration& reg)
{
    // A JSON object keeps its strings where nobody can clear them, so only
    // the public members go through one; the secrets are written in as
    // bytes (Base64 needs no escaping) and every copy of them is wiped.
    const QJsonObject open{
        {QStringLiteral("keyId"), reg.keyId},
        {QStringLiteral("title"), reg.title},
        {QStringLiteral("sourceFileName"), reg.sourceFileName},
        {QStringLiteral("fileSize"), double(reg.fileSize)},
    };
    QByteArray head = QJsonDocument(open).toJson(QJsonDocument::Compact);
    head.chop(1);  // the closing brace
    QByteArray key = reg.key.toBase64();
    QByteArray iv = reg.iv.toBase64();

    const QByteArray keyName = ",\"key\":\"";
    const QByteArray ivName = "\",\"iv\":\"";
    const QByteArray tail = "\"}";
    QByteArray out;
    out.reserve(head.size() + keyName.size() + key.size() + ivName.size() + iv.size() +
                tail.size());
    appendReserved(out, head);
    appendReserved(out, keyName);
    appendReserved(out, key);
    appendReserved(out, ivName);
    appendReserved(out, iv);
    appendReserved(out, tail);
    CryptoUtils::secureWipe(key);
    CryptoUtils::secureWipe(iv);
    return out;
}

UploadService::UploadService(ApiClient* client, AuthManager* auth, QObject* parent)
    : QObject(parent), m_client(client), m_auth(auth ? auth : AuthManager::instance())
{}

void UploadService::uploadKey(const QString& srcFile, const QString& keyId, const QByteArray& key,
                              const QByteArray& iv, const QString& title,
                              const QString& sourceFileName, qint64 fileSize, bool resend)
{
    auto reg = std::make_shared<Registration>();
    reg->srcFile = srcFile;
    reg->keyId = keyId;
    reg->key = key;
    reg->iv = iv;
    reg->title = title;
    reg->sourceFileName = sourceFileName;
    reg->fileSize = fileSize;
    reg->resend = resend;
    // The merchant's current token goes with every registration, as with
    // every key request, so no caller has to remember it. A client handed
    // in while nobody is logged in keeps the token its owner gave it.
    const QString token = m_auth->token();
    if (!token.isEmpty()) {
        m_client->setToken(token);
    }
    send(reg);
}

void UploadService::send(const RegistrationPtr& reg)
{
    QNetworkReply* reply = m_client->postJson(QStringLiteral("/api/merchant/keys"), body(*reg));
    ApiClient::abortAfter(reply, kUploadTimeoutMs);

    connect(reply, &QNetworkReply::finished, this, [this, reply, reg] {
        const ApiResult result = ApiClient::readResult(reply);
        switch (result.kind) {
            case ApiResult::Kind::Success:
                emit uploadSucceeded(reg->srcFile);
                return;
            case ApiResult::Kind::Refused:
                if (isTokenRefusal(result.code) && !reg->refreshed) {
                    refreshAndResend(reg);
                } else if (result.code == QLatin1String("KEY_CONFLICT") && reg->resend) {
                    verifyConflict(reg);
                } else {
                    emit uploadFailed(reg->srcFile,
                                      uploadErrorMessage(result.code, result.message));
                }
                return;
            case ApiResult::Kind::Unreadable:
                emit uploadUncertain(reg->srcFile,
                                     result.failureText(uploadErrorMessage, networkErrorMessage));
                return;
        }
    });
}

void UploadService::refreshAndResend(const RegistrationPtr& reg)
{
    reg->refreshed = true;
    QNetworkReply* reply = m_client->get(QStringLiteral("/api/auth/me"));
    ApiClient::abortAfter(reply, kUploadTimeoutMs);

    connect(reply, &QNetworkReply::finished, this, [this, reply, reg] {
        const ApiResult result = ApiClient::readResult(reply);
        if (result.kind == ApiResult::Kind::Refused) {
            // The login is gone: the server has refused this key for good.
            emit uploadFailed(reg->srcFile, QStringLiteral("登录已过期，请重新登录"));
            return;
        }
        if (!result.succeeded()) {
            emit uploadUncertain(reg->srcFile,
                                 result.failureText(authErrorMessage, networkErrorMessage));
            return;
        }
        // Renewal retires the old token on the server, so the login record,
        // the saved token and this client all move to the new one.
        const QString fresh = m_auth->adoptRenewal(result.data);
        if (!fresh.isEmpty()) {
            m_client->setToken(fresh);
        }
        send(reg);
    });
}

void UploadService::verifyConflict(const RegistrationPtr& reg)
{
    // Merchants may fetch their own catalogue's keys: the key the server
    // holds under this id tells whether the lost first attempt landed.
    const QJsonObject body{
        {QStringLiteral("keyId"), reg->keyId},
        {QStringLiteral("fileId"), reg->keyId},
        {QStringLiteral("deviceId"), DeviceIdentity::deviceId()},
        {QStringLiteral("deviceName"), DeviceIdentity::deviceName()},
    };
    QNetworkReply* reply = m_client->post(QStringLiteral("/api/video/key"), body);
    ApiClient::abortAfter(reply, kUploadTimeoutMs);

    connect(reply, &QNetworkReply::finished, this, [this, reply, reg] {
        const ApiResult result = ApiClient::readResult(reply);
        if (!result.succeeded()) {
            emit uploadUncertain(reg->srcFile, conflictUnsettled(result.failureText(
                                                   keyErrorMessage, networkErrorMessage)));
            return;
        }
        QByteArray key =
            QByteArray::fromBase64(result.data.value(QLatin1String("key")).toString().toLatin1());
        QByteArray iv =
            QByteArray::fromBase64(result.data.value(QLatin1String("iv")).toString().toLatin1());
        const bool same = key == reg->key && iv == reg->iv;
        CryptoUtils::secureWipe(key);
        CryptoUtils::secureWipe(iv);
        if (same) {
            emit uploadSucceeded(reg->srcFile);
        } else {
            // Another key holds this id: ours was never registered.
            emit uploadFailed(reg->srcFile, uploadErrorMessage(QStringLiteral("KEY_CONFLICT"), {}));
        }
    });
}
