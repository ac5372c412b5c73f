#pragma once

#include <QAtomicInt>
#include <QHostAddress>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "ApiError.h"
#include "HttpFront.h"
#include "KeyRequestLog.h"
#include "Service.h"

class PasswordHasher;

struct MerchantCaller;
class ServiceStack;
class ServiceWorker;

struct HttpOptions
{
    // Framing, time-outs and caps of the HTTP front; bodies over
    // front.maxBodyBytes get PAYLOAD_TOO_LARGE.
    FrontOptions front;
    int hashThreads = 0;  // 0: one less than the cores, at least one
    // Nice value of the hash threads (0-19; Linux only): a login may wait a
    // moment longer, key requests should not wait behind its hashing.
    int hashNice = 10;
    int maxPendingLogins = 64;
    // Behind a proxy every client shares the proxy's address; then the last
    // X-Forwarded-For entry (the one the proxy added) names the client.
    bool trustForwardedFor = false;
    // The console's cookie is marked Secure: TLS here, or at a proxy in front.
    bool secureCookies = false;
    // One line per request, called on the thread that handled it, one call at
    // a time; stderr when empty.
    std::function<void(const QString&)> log;
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
    // Hands the requests to these workers (round robin) instead of the
    // service given to the constructor, which then only does housekeeping.
    // Call before listen(); the workers must outlive this object.
    void setWorkers(const std::vector<ServiceWorker*>& workers);
    // Makes a service on each network thread (there, as it starts) to answer
    // key requests where they arrive, without handing them to another
    // thread and back. A thread whose service does not open hands its key
    // requests on like every other request. Call before listen().
    using ServiceFactory = std::function<std::unique_ptr<ServiceStack>(QString* error)>;
    void setNetworkServices(ServiceFactory make);
    // Returns the bound port, 0 on failure.
    quint16 listen(const QHostAddress& address, quint16 port);

    // Plain HTTP is fine where nobody else can listen in.
    static bool plainHttpAllowed(const QHostAddress& address, bool tls, bool behindTlsProxy);
    // A request log line's time, UTC with milliseconds.
    static QString logTime(qint64 msSinceEpoch);

private:
    // A service and the object whose thread it runs on.
    struct Lane
    {
        Service* service;
        QObject* context;
    };
    void handle(const FrontRequest& request, const HttpFront::Respond& respond, Lane lane);
    void login(const FrontRequest& request, const HttpFront::Respond& respond, const QString& path,
               Lane lane);
    // The endpoints that answer at once, on the lane's thread; `route` is a
    // value of the routing table's enum, `id` the id from the path.
    static Reply dispatch(Service& service, int route, const QByteArray& authorization,
                          const QJsonObject& body, const QJsonObject& query, const QString& id,
                          const QString& client);
    // A new viewer's password is hashed off the lane, as a login's is.
    void upsertViewer(const MerchantCaller& caller, const HttpFront::Respond& respond,
                      const QString& path, Lane lane, const QJsonObject& body);
    // The merchant console: its pages and its JSON calls under /console/api/.
    void console(const FrontRequest& request, const HttpFront::Respond& respond, Lane lane);
    void consoleLogin(const FrontRequest& request, const HttpFront::Respond& respond,
                      const QString& path, Lane lane);
    // What the hash pool found of a login's password.
    struct HashOutcome
    {
        bool matches = false;
        QByteArray newHash;
    };
    // A login of either kind: the first half on the lane, the password on
    // the hash pool, the second half back on the lane.
    using BeginLogin =
        std::function<Service::LoginPlan(Service&, const QJsonObject& body, const QString& client)>;
    using FinishLogin =
        std::function<FrontResponse(Service&, const Service::LoginPlan&, const HashOutcome&)>;
    void runLogin(const FrontRequest& request, const HttpFront::Respond& respond,
                  const QString& path, Lane lane, const BeginLogin& begin,
                  const FinishLogin& finish);
    void startNetworkService(int thread);  // on that network thread
    void writeLog(const QString& method, const QString& path, int status, qint64 elapsedMs);
    void flushAccessLog();
    QString clientAddress(const FrontRequest& request) const;

    Service& m_service;                     // owner thread only
    std::vector<Lane> m_lanes;              // fixed once listening
    std::vector<ServiceWorker*> m_workers;  // fixed once listening
    ServiceFactory m_makeNetworkService;    // fixed once listening
    // One per network thread, each made, used and ended by that thread only.
    std::vector<std::unique_ptr<ServiceStack>> m_networkServices;
    std::atomic<unsigned> m_nextLane{0};  // network threads
    const PasswordHasher& m_hasher;       // immutable, shared with the hash pool
    HttpOptions m_options;                // immutable after construction
    QThreadPool m_hashPool;
    QAtomicInt m_pendingLogins;  // counted on every lane
    QTimer m_housekeeping;
    QTimer m_keyLogFlush;
    KeyRequestLog m_keyLog;  // shared by every lane
    // Access-log lines not yet written, from every lane; out at this size.
    static constexpr qsizetype kAccessLogFlushBytes = 16 * 1024;
    QMutex m_accessLogMutex;
    QByteArray m_accessLog;
    std::unique_ptr<HttpFront> m_front;  // its threads call back through queued calls
};
