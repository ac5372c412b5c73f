#pragma once

#include <QAtomicInt>
#include <QHostAddress>
#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <functional>
#include <memory>

#include "ApiError.h"
#include "HttpFront.h"

class PasswordHasher;
class Service;

struct HttpOptions
{
    // Framing, time-outs and caps of the HTTP front; bodies over
    // front.maxBodyBytes get PAYLOAD_TOO_LARGE.
    FrontOptions front;
    int hashThreads = 0;  // 0: one less than the cores, at least one
    int maxPendingLogins = 64;
    // Behind a proxy every client shares the proxy's address; then the last
    // X-Forwarded-For entry (the one the proxy added) names the client.
    bool trustForwardedFor = false;
    std::function<void(const QString&)> log;  // one line per request; stderr when empty
};

// The application side of the HTTP front: routing, JSON parsing, the envelope
// on the wire, and the request log. Requests arrive from the front's network
// threads and are handled on the thread that owns this object (and the
// store); password checks run on a small thread pool so that logins never
// hold up key requests. No blocking work happens on the network threads.
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
    void handle(const FrontRequest& request, const HttpFront::Respond& respond);
    void login(const FrontRequest& request, const HttpFront::Respond& respond, const QString& path);
    void writeLog(const QString& method, const QString& path, int status, qint64 elapsedMs);
    QString clientAddress(const FrontRequest& request) const;

    Service& m_service;              // owner thread only
    const PasswordHasher& m_hasher;  // immutable, shared with the hash pool
    HttpOptions m_options;           // immutable after construction
    QThreadPool m_hashPool;
    QAtomicInt m_pendingLogins;  // owner thread only, atomic for clarity
    QTimer m_housekeeping;
    std::unique_ptr<HttpFront> m_front;  // its threads call back through queued calls
};
