#pragma once

#include <QJsonObject>
#include <QMutex>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrlQuery>

class QNetworkAccessManager;

// One finished request, read the same way for every endpoint: an envelope
// that succeeded (data holds the endpoint's fields), an envelope that refused
// (code and message), or an answer that is no envelope at all (then the
// transport error, if any, explains it).
struct ApiResult
{
    enum class Kind
    {
        Success,
        Refused,
        Unreadable
    };

    using MessageTable = QString (*)(const QString& code, const QString& serverMessage);
    using TransportTable = QString (*)(QNetworkReply::NetworkError error, const QString& detail);

    Kind kind = Kind::Unreadable;
    QJsonObject data;
    QString code;
    QString message;
    QNetworkReply::NetworkError networkError = QNetworkReply::NoError;
    QString networkErrorString;

    bool succeeded() const { return kind == Kind::Success; }

    // The sentence for the user when the request did not succeed: the
    // endpoint's table for a refusal, the transport table for a failed
    // transfer, and the fixed unreadable-answer text otherwise.
    QString failureText(MessageTable table, TransportTable transport) const;
};

// The thin client every server request goes through. Not shared: each
// component that talks to the server owns one and keeps its token current.
class ApiClient : public QObject
{
    Q_OBJECT

public:
    explicit ApiClient(QObject* parent = nullptr);

    // The empty token removes the Authorization header from later requests.
    void setToken(const QString& token);

    QString baseUrl() const { return m_baseUrl; }

    QNetworkRequest buildRequest(const QString& path) const;
    QNetworkReply* get(const QString& path, const QUrlQuery& query = QUrlQuery());
    QNetworkReply* post(const QString& path, const QJsonObject& body);
    // Sends a ready JSON body. Request bodies carry passwords and content
    // keys: the network layer reads this one from a buffer of ours, which is
    // zeroed once the reply is gone. The caller keeps no other copy.
    QNetworkReply* postJson(const QString& path, QByteArray body);

    // The server origin this build talks to: VEILCAST_SERVER_URL from the
    // environment when set, the origin compiled in otherwise.
    static QString defaultBaseUrl();

    // Reads a finished reply once and for all (and schedules its deletion).
    // The HTTP status is deliberately not consulted: servers send refusals
    // with error statuses, and the envelope is what explains them.
    static ApiResult readResult(QNetworkReply* reply);
    // The envelope part of readResult: fills kind, data, code and message of
    // *result from an answer's body and leaves the transport fields alone.
    static void readEnvelope(const QByteArray& body, ApiResult* result);

    // Aborts the reply if it is still running after ms; the abort surfaces
    // as OperationCanceledError, which reads as a time-out.
    static void abortAfter(QNetworkReply* reply, int ms);

private:
    QNetworkAccessManager* m_network;
    QString m_baseUrl;
    mutable QMutex m_mutex;
    QString m_token;
};
