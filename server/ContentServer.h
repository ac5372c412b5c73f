#pragma once

#include <QAtomicInt>
#include <QHostAddress>
#include <QHttpServer>
#include <QObject>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QThreadPool>
#include <QTimer>
#include <functional>
#include <optional>

#include "ApiError.h"

class PasswordHasher;
class Service;

struct HttpOptions
{
    qint64 maxBodyBytes = 64 * 1024;
    // Qt buffers a whole request before any handler sees it. A connection
    // that sends more than this without getting an answer is cut off, so
    // memory stays bounded; between maxBodyBytes and this the client gets a
    // proper PAYLOAD_TOO_LARGE answer.
    qint64 maxUnansweredBytes = 1024 * 1024;
    int hashThreads = 0;  // 0: one less than the cores, at least one
    int maxPendingLogins = 64;
    // Behind a proxy every client shares the proxy's address; then the last
    // X-Forwarded-For entry (the one the proxy added) names the client.
    bool trustForwardedFor = false;
    std::function<void(const QString&)> log;  // one line per request; stderr when empty
};

// HTTP front of the service: routing, body limits, JSON parsing, the
// envelope on the wire, and the request log. Password checks run on a
// small thread pool so that logins never hold up key requests.
class ContentServer : public QObject
{
    Q_OBJECT

public:
    ContentServer(Service& service, const PasswordHasher& hasher, HttpOptions options,
                  QObject* parent = nullptr);
    ~ContentServer() override;

    bool setupTls(const QString& certPath, const QString& keyPath, QString* error);
    // Returns the bound port, 0 on failure.
    quint16 listen(const QHostAddress& address, quint16 port);

    // Plain HTTP is fine where nobody else can listen in.
    static bool plainHttpAllowed(const QHostAddress& address, bool tls, bool behindTlsProxy);

private:
    void writeLog(const QString& method, const QString& path, int status, qint64 elapsedMs);
    QString clientAddress(const QHttpServerRequest& request) const;
    void guardNewSockets(QTcpServer* server);

    Service& m_service;
    const PasswordHasher& m_hasher;
    HttpOptions m_options;
    QHttpServer m_http;
    QThreadPool m_hashPool;
    QAtomicInt m_pendingLogins;
    QTimer m_housekeeping;
    std::optional<QSslConfiguration> m_tls;
};
