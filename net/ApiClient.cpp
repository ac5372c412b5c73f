#include "ApiClient.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QTimer>
#include <QUrl>

#include "ApiMessages.h"
#include "CryptoUtils.h"

#ifndef VEILCAST_DEFAULT_SERVER_URL
#error "VEILCAST_DEFAULT_SERVER_URL must name the server origin compiled into the client"
#endif

QString ApiResult::failureText(MessageTable table, TransportTable transport) const
{
    switch (kind) {
        case Kind::Success:
            return {};
        case Kind::Refused:
            return table(code, message);
        case Kind::Unreadable:
            break;
    }
    if (networkError != QNetworkReply::NoError) {
        return transport(networkError, networkErrorString);
    }
    return unreadableAnswerMessage();
}

ApiClient::ApiClient(QObject* parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this)), m_baseUrl(defaultBaseUrl())
{}

QString ApiClient::defaultBaseUrl()
{
    QString url = qEnvironmentVariable("VEILCAST_SERVER_URL").trimmed();
    if (url.isEmpty()) {
        url = QStringLiteral(VEILCAST_DEFAULT_SERVER_URL);
    }
    // Paths start with "/"; an origin written with a trailing slash would
    // otherwise produce "//api/..." which no server routes.
    while (url.endsWith(QLatin1Char('/'))) {
        url.chop(1);
    }
    return url;
}

void ApiClient::setToken(const QString& token)
{
    QMutexLocker locker(&m_mutex);
    m_token = token;
}

QNetworkRequest ApiClient::buildRequest(const QString& path) const
{
    QNetworkRequest request(QUrl(m_baseUrl + path, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QString token;
    {
        QMutexLocker locker(&m_mutex);
        token = m_token;
    }
    if (!token.isEmpty()) {
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    }
    return request;
}

QNetworkReply* ApiClient::get(const QString& path, const QUrlQuery& query)
{
    QNetworkRequest request = buildRequest(path);
    if (!query.isEmpty()) {
        QUrl url = request.url();
        url.setQuery(query);
        request.setUrl(url);
    }
    return m_network->get(request);
}

QNetworkReply* ApiClient::post(const QString& path, const QJsonObject& body)
{
    return postJson(path, QJsonDocument(body).toJson());
}

QNetworkReply* ApiClient::postJson(const QString& path, QByteArray body)
{
    // Handed over as a device, the buffer is read in place rather than
    // copied, so these are the bytes to clear at the end. Wiping a copy
    // right after posting would only clear the copy.
    auto* buffer = new QBuffer;
    buffer->buffer().swap(body);
    buffer->open(QIODevice::ReadOnly);
    QNetworkReply* reply = m_network->post(buildRequest(path), buffer);
    buffer->setParent(reply);
    // By the time the reply is destroyed its own readers of the buffer are
    // gone; the buffer, its child, still holds the only reference.
    connect(reply, &QObject::destroyed, buffer, [buffer] {
        buffer->close();
        CryptoUtils::secureWipe(buffer->buffer());
    });
    return reply;
}

ApiResult ApiClient::readResult(QNetworkReply* reply)
{
    reply->deleteLater();
    ApiResult result;
    result.networkError = reply->error();
    if (result.networkError != QNetworkReply::NoError) {
        result.networkErrorString = reply->errorString();
    }

    // An aborted reply is closed; reading it would only produce a warning.
    QByteArray body = reply->isReadable() ? reply->readAll() : QByteArray();
    readEnvelope(body, &result);
    // Answers carry tokens and content keys.
    CryptoUtils::secureWipe(body);
    return result;
}

void ApiClient::readEnvelope(const QByteArray& body, ApiResult* result)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    const QJsonObject object = document.object();
    if (!document.isObject() || !object.contains(QLatin1String("success"))) {
        result->kind = ApiResult::Kind::Unreadable;
        return;
    }
    // Only a real boolean true counts; "true" as text or 1 does not.
    if (object.value(QLatin1String("success")).toBool(false)) {
        result->kind = ApiResult::Kind::Success;
        result->data = object.value(QLatin1String("data")).toObject();
    } else {
        result->kind = ApiResult::Kind::Refused;
        result->code = object.value(QLatin1String("code")).toString();
        result->message = object.value(QLatin1String("message")).toString();
    }
}

void ApiClient::abortAfter(QNetworkReply* reply, int ms)
{
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a time-out must not cut a
    // request short of the time it promises.
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, reply, [reply] {
        if (reply->isRunning()) {
            reply->abort();
        }
    });
    timer->start(ms);
}
