#include "ContentServer.h"

#include <sodium.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QThread>
#include <QUrlQuery>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <limits>
#include <memory>
#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <boost/beast/core/string.hpp>

#include "JsonBody.h"
#include "JsonWriter.h"
#include "PasswordHasher.h"
#include "Service.h"
#include "ServiceSupport.h"
#include "ServiceWorker.h"

namespace {

// All of `bytes` to standard error, however the writes are cut.
void writeOut(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(STDERR_FILENO, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // nowhere to log to: the requests go on regardless
        }
        done += n;
    }
}

// The log names only the verbs the API knows; anything else is one word.
QString methodName(const std::string& method)
{
    for (const char* known : {"GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH"}) {
        if (method == known) {
            return QString::fromLatin1(known);
        }
    }
    return QStringLiteral("OTHER");
}

QString pathOf(const std::string& target)
{
    const auto end = target.find('?');
    return QString::fromLatin1(target.substr(0, end));
}

bool isKeyRequest(const FrontRequest& request)
{
    return request.method == "POST" &&
           std::string_view(request.target).substr(0, request.target.find('?')) == "/api/video/key";
}

// The path as sent, without the query, cut short and stripped of anything
// that could forge a second log line or fool a terminal.
QString loggablePath(const QString& path)
{
    QString out = path.left(200);
    for (QChar& c : out) {
        if (c.unicode() < 0x20 || c.unicode() >= 0x7f) {
            c = u'?';
        }
    }
    return out.isEmpty() ? QStringLiteral("/") : out;
}

std::string envelope(const Reply& reply)
{
    return reply.wire.empty() ? JsonWriter::compact(reply.body) : reply.wire;
}

FrontResponse toFront(const Reply& reply)
{
    FrontResponse response;
    response.status = reply.httpStatus;
    response.body = envelope(reply);
    return response;
}

bool isJsonContentType(const std::string& value)
{
    const QByteArray type = QByteArray::fromStdString(value).split(';').first().trimmed().toLower();
    return type == "application/json";
}

Reply bodyProblem(JsonBody::Problem problem)
{
    return Reply::failure(
        apiError(ErrorCode::InvalidRequest, problem == JsonBody::Problem::DuplicateKey
                                                ? QStringLiteral("请求内容中有重复的字段")
                                                : QStringLiteral("请求内容不是有效的 JSON 对象")));
}

// Lowers the calling hash thread's priority, once; never raises it. Linux
// keeps a nice value per thread, so the rest of the process is not touched.
void yieldToRequests(int nice)
{
#ifdef Q_OS_LINUX
    thread_local bool done = false;
    if (!done) {
        done = true;
        const auto self = static_cast<id_t>(::gettid());
        errno = 0;
        const int current = ::getpriority(PRIO_PROCESS, self);
        if (errno == 0 && nice > current) {
            ::setpriority(PRIO_PROCESS, self, nice);
        }
    }
#else
    Q_UNUSED(nice);
#endif
}

enum class Route
{
    None,
    Login,
    Me,
    Logout,
    VideoKey,
    RegisterKey,
    ListKeys,
    UpsertViewer,
    ListViewers,
    DisableViewer,
    EnableViewer,
    ResetDevices,
    GrantKeys,
    ListGrants,
    RevokeGrant,
    KeyRequests
};

struct RouteEntry
{
    const char* path;  // a "*" segment stands for one id
    Route route;
    const char* method;
    bool wantsBody;
};

const RouteEntry kRoutes[] = {
    {"/api/auth/login", Route::Login, "POST", true},
    {"/api/auth/me", Route::Me, "GET", false},
    {"/api/auth/logout", Route::Logout, "POST", false},
    {"/api/video/key", Route::VideoKey, "POST", true},
    {"/api/merchant/keys", Route::RegisterKey, "POST", true},
    {"/api/merchant/keys", Route::ListKeys, "GET", false},
    {"/api/merchant/viewers", Route::UpsertViewer, "POST", true},
    {"/api/merchant/viewers", Route::ListViewers, "GET", false},
    {"/api/merchant/viewers/*/disable", Route::DisableViewer, "POST", false},
    {"/api/merchant/viewers/*/enable", Route::EnableViewer, "POST", false},
    {"/api/merchant/viewers/*/devices", Route::ResetDevices, "DELETE", false},
    {"/api/merchant/grants", Route::GrantKeys, "POST", true},
    {"/api/merchant/grants", Route::ListGrants, "GET", false},
    {"/api/merchant/grants/*", Route::RevokeGrant, "DELETE", false},
    {"/api/merchant/key-requests", Route::KeyRequests, "GET", false},
};

// Whether `path` has the shape of `pattern`; the segment under "*" goes to
// *id. Compared in place, as it runs for every route on every request.
bool pathMatches(std::string_view pattern, std::string_view path, std::string_view* id)
{
    std::string_view found;
    for (;;) {
        const std::size_t wantEnd = pattern.find('/');
        const std::size_t haveEnd = path.find('/');
        const std::string_view want = pattern.substr(0, wantEnd);
        const std::string_view have = path.substr(0, haveEnd);
        if (want == "*") {
            if (have.empty()) {
                return false;
            }
            found = have;
        } else if (want != have) {
            return false;
        }
        if (wantEnd == std::string_view::npos || haveEnd == std::string_view::npos) {
            if (wantEnd != haveEnd) {
                return false;
            }
            *id = found;
            return true;
        }
        pattern.remove_prefix(wantEnd + 1);
        path.remove_prefix(haveEnd + 1);
    }
}

std::string_view targetPath(const std::string& target)
{
    return std::string_view(target).substr(0, target.find('?'));
}

// The entry of a routing table for the request's path and method; null when
// none, with *pathKnown telling an unknown path from a wrong method.
template <class Entry, std::size_t N>
const Entry* findRoute(const Entry (&table)[N], const FrontRequest& request, bool* pathKnown,
                       QString* id)
{
    const std::string_view path = targetPath(request.target);
    *pathKnown = false;
    for (const Entry& e : table) {
        std::string_view segment;
        if (pathMatches(e.path, path, &segment)) {
            *pathKnown = true;
            if (request.method == e.method) {
                *id = QString::fromLatin1(segment.data(), qsizetype(segment.size()));
                return &e;
            }
        }
    }
    return nullptr;
}

// The URL's query as an object of strings. A repeated name is refused, as a
// repeated key in a JSON body is: two readers might each take another one.
bool readQuery(const std::string& target, QJsonObject* out)
{
    const auto start = target.find('?');
    if (start == std::string::npos) {
        return true;
    }
    const QUrlQuery query(QString::fromLatin1(target.substr(start + 1)));
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (out->contains(name)) {
            return false;
        }
        out->insert(name, value);
    }
    return true;
}

}  // namespace

ContentServer::ContentServer(Service& service, const PasswordHasher& hasher, HttpOptions options,
                             QObject* parent)
    : QObject(parent), m_service(service), m_hasher(hasher), m_options(std::move(options))
{
    int threads = m_options.hashThreads;
    if (threads <= 0) {
        threads = std::max(1, QThread::idealThreadCount() - 1);
    }
    m_hashPool.setMaxThreadCount(threads);

    FrontRefusals refusals;
    refusals.malformed = envelope(Reply::failure(apiError(ErrorCode::InvalidRequest)));
    refusals.tooLarge = envelope(Reply::failure(apiError(ErrorCode::PayloadTooLarge)));
    refusals.busy = envelope(Reply::failure(apiError(ErrorCode::ServerBusy)));
    m_accessLog.reserve(kAccessLogFlushBytes + 1024);
    m_lanes.push_back({&m_service, this});
    m_networkServices.resize(std::size_t(std::max(1, m_options.front.threads)));
    // Both callbacks run on network threads: apart from key requests, which
    // a network thread with a service of its own answers itself, they only
    // queue work elsewhere.
    auto handler = [this](FrontRequest request, HttpFront::Respond respond, int thread) {
        if (ServiceStack* local = m_networkServices[std::size_t(thread)].get();
            local && isKeyRequest(request)) {
            return handle(request, respond, Lane{&local->service(), nullptr});
        }
        const Lane lane =
            m_lanes[m_nextLane.fetch_add(1, std::memory_order_relaxed) % m_lanes.size()];
        QMetaObject::invokeMethod(
            lane.context,
            [this, lane, request = std::move(request), respond = std::move(respond)] {
                handle(request, respond, lane);
            },
            Qt::QueuedConnection);
    };
    auto refused = [this](int status, const std::string&) {
        if (status != 0) {
            QMetaObject::invokeMethod(
                this,
                [this, status] { writeLog(QStringLiteral("-"), QStringLiteral("-"), status, 0); },
                Qt::QueuedConnection);
        }
    };
    m_front = std::make_unique<HttpFront>(m_options.front, std::move(refusals), std::move(handler),
                                          std::move(refused));
    m_front->setThreadHooks([this](int thread) { startNetworkService(thread); },
                            [this](int thread) {
                                auto& stack = m_networkServices[std::size_t(thread)];
                                if (stack) {
                                    // What it logged is written by this object's own flush.
                                    stack->service().shareKeyLog(nullptr);
                                    stack.reset();
                                }
                            });

    connect(&m_housekeeping, &QTimer::timeout, this, [this] { m_service.housekeeping(); });
    m_housekeeping.start(10 * 60 * 1000);
    m_service.housekeeping();
    // Every lane logs key requests to one queue; this thread, whose own
    // connection is idle once workers serve the requests, writes it out.
    m_service.shareKeyLog(&m_keyLog);
    connect(&m_keyLogFlush, &QTimer::timeout, this, [this] {
        m_service.flushKeyLog();
        flushAccessLog();
    });
    m_keyLogFlush.start(250);
}

ContentServer::~ContentServer()
{
    // No network thread may queue anything once this object starts going,
    // and whatever was queued on a worker runs while this object is whole.
    m_front->stop();
    m_hashPool.waitForDone();
    for (ServiceWorker* worker : m_workers) {
        worker->drain();
    }
    // The services outlive this object, its queue does not.
    m_service.flushKeyLog();
    flushAccessLog();
    m_service.shareKeyLog(nullptr);
    for (ServiceWorker* worker : m_workers) {
        Service* service = &worker->service();
        QMetaObject::invokeMethod(
            worker->context(), [service] { service->shareKeyLog(nullptr); },
            Qt::BlockingQueuedConnection);
    }
}

void ContentServer::setWorkers(const std::vector<ServiceWorker*>& workers)
{
    if (workers.empty()) {
        return;
    }
    m_workers = workers;
    m_lanes.clear();
    for (ServiceWorker* worker : workers) {
        m_lanes.push_back({&worker->service(), worker->context()});
        Service* service = &worker->service();
        QMetaObject::invokeMethod(
            worker->context(), [this, service] { service->shareKeyLog(&m_keyLog); },
            Qt::BlockingQueuedConnection);
    }
}

void ContentServer::setNetworkServices(ServiceFactory make)
{
    m_makeNetworkService = std::move(make);
}

void ContentServer::startNetworkService(int thread)
{
    if (!m_makeNetworkService) {
        return;
    }
    QString error;
    auto stack = m_makeNetworkService(&error);
    if (!stack) {
        support::serverLog(
            QStringLiteral("warning: network thread %1 hands its key requests on: %2")
                .arg(thread)
                .arg(error));
        return;
    }
    stack->service().shareKeyLog(&m_keyLog);
    m_networkServices[std::size_t(thread)] = std::move(stack);
}

bool ContentServer::setupTls(const QString& certPath, const QString& keyPath, QString* error)
{
    std::string problem;
    if (!m_front->setupTls(certPath.toStdString(), keyPath.toStdString(), &problem)) {
        *error = QString::fromStdString(problem);
        return false;
    }
    return true;
}

quint16 ContentServer::listen(const QHostAddress& address, quint16 port)
{
    std::string error;
    const quint16 bound = m_front->listen(address.toString().toStdString(), port, &error);
    if (bound == 0) {
        std::fprintf(stderr, "listen: %s\n", error.c_str());
    }
    return bound;
}

bool ContentServer::plainHttpAllowed(const QHostAddress& address, bool tls, bool behindTlsProxy)
{
    return tls || behindTlsProxy || address.isLoopback();
}

// "2025-01-31T12:34:56.789Z", as QDateTime writes it, without its time-zone
// machinery: it cost more than the rest of the log line.
namespace {

// Appends a log line's time. The part up to the seconds is formatted once a
// second per thread: gmtime_r and a formatted print per request weighed on
// the key endpoint.
void appendLogTime(QByteArray* out, qint64 ms)
{
    struct Second
    {
        qint64 seconds = std::numeric_limits<qint64>::min();
        char text[24] = {};
        int size = 0;
    };
    thread_local Second cached;
    const qint64 seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const int milli = int(ms - seconds * 1000);
    if (seconds != cached.seconds) {
        const time_t t = time_t(seconds);
        std::tm parts{};
        if (!gmtime_r(&t, &parts)) {
            out->append(
                QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1());
            return;
        }
        cached.size = std::snprintf(
            cached.text, sizeof cached.text, "%04d-%02d-%02dT%02d:%02d:%02d.", parts.tm_year + 1900,
            parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
        cached.seconds = seconds;
    }
    out->append(cached.text, cached.size);
    const char digits[] = {char('0' + milli / 100), char('0' + milli / 10 % 10),
                           char('0' + milli % 10), 'Z'};
    out->append(digits, sizeof digits);
}

void appendAscii(QByteArray* out, QStringView text)
{
    for (const QChar c : text) {
        out->append(char(c.unicode()));
    }
}

void appendNumber(QByteArray* out, qint64 n)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out->append(digits, end - digits);
}

}  // namespace

QString ContentServer::logTime(qint64 ms)
{
    QByteArray text;
    appendLogTime(&text, ms);
    return QString::fromLatin1(text);
}

void ContentServer::handle(const FrontRequest& request, const HttpFront::Respond& respond,
                           Lane lane)
{
    QElapsedTimer timer;
    timer.start();
    const QString method = methodName(request.method);
    const QString rawPath = pathOf(request.target);
    const QString path = loggablePath(rawPath);
    auto answer = [&](const Reply& reply) {
        writeLog(method, path, reply.httpStatus, timer.elapsed());
        respond(toFront(reply));
    };

    if (rawPath == QStringLiteral("/console") || rawPath.startsWith(QStringLiteral("/console/"))) {
        return console(request, respond, lane);
    }
    bool pathKnown = false;
    QString id;
    const RouteEntry* entry = findRoute(kRoutes, request, &pathKnown, &id);
    if (!pathKnown) {
        return answer(Reply::failure(apiError(ErrorCode::NotFound)));
    }
    if (!entry) {
        return answer(Reply::failure(apiError(ErrorCode::MethodNotAllowed)));
    }
    if (request.body.size() > m_options.front.maxBodyBytes) {
        return answer(Reply::failure(apiError(ErrorCode::PayloadTooLarge)));
    }
    if (entry->route == Route::Login) {
        return login(request, respond, path, lane);
    }
    // The players' key requests, the one route that must be fast, skip the
    // document when their body is the plain kind.
    std::optional<KeyRequestText> keyRequest;
    if (entry->route == Route::VideoKey) {
        keyRequest = KeyRequestText::fromFlatJson(request.body);
    }
    QJsonObject body;
    if (entry->wantsBody && !keyRequest) {
        const auto problem = JsonBody::parse(QByteArray::fromStdString(request.body), &body);
        if (problem != JsonBody::Problem::None) {
            return answer(bodyProblem(problem));
        }
    }
    QJsonObject query;
    if (!readQuery(request.target, &query)) {
        return answer(bodyProblem(JsonBody::Problem::DuplicateKey));
    }
    if (keyRequest) {
        return answer(
            lane.service->videoKey(QByteArray::fromStdString(request.first("Authorization")),
                                   *keyRequest, clientAddress(request)));
    }
    if (entry->route == Route::UpsertViewer) {
        return upsertViewer(QByteArray::fromStdString(request.first("Authorization")), respond,
                            path, lane, body);
    }
    const QByteArray authorization = QByteArray::fromStdString(request.first("Authorization"));
    answer(dispatch(*lane.service, int(entry->route), authorization, body, query, id,
                    clientAddress(request)));
}

Reply ContentServer::dispatch(Service& service, int route, const QByteArray& authorization,
                              const QJsonObject& body, const QJsonObject& query, const QString& id,
                              const QString& client)
{
    switch (Route(route)) {
        case Route::Me:
            return service.me(authorization);
        case Route::Logout:
            return service.logout(authorization);
        case Route::VideoKey:
            return service.videoKey(authorization, body, client);
        case Route::RegisterKey:
            return service.registerKey(authorization, body);
        case Route::ListKeys:
            return service.listKeys(authorization, query);
        case Route::ListViewers:
            return service.listViewers(authorization, query);
        case Route::DisableViewer:
        case Route::EnableViewer:
            return service.setViewerDisabled(authorization, id,
                                             Route(route) == Route::DisableViewer);
        case Route::ResetDevices:
            return service.resetViewerDevices(authorization, id);
        case Route::GrantKeys:
            return service.grantKeys(authorization, body);
        case Route::ListGrants:
            return service.listGrants(authorization, query);
        case Route::RevokeGrant:
            return service.revokeGrant(authorization, id);
        case Route::KeyRequests:
            return service.listKeyRequests(authorization, query);
        case Route::Login:
        case Route::UpsertViewer:
        case Route::None:
            break;
    }
    return Reply::failure(apiError(ErrorCode::ServerError));
}

void ContentServer::upsertViewer(const MerchantCaller& authorization,
                                 const HttpFront::Respond& respond, const QString& path, Lane lane,
                                 const QJsonObject& body)
{
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    const QString method = QStringLiteral("POST");
    auto plan =
        std::make_shared<Service::ViewerPlan>(lane.service->beginViewerUpsert(authorization, body));
    if (!plan->immediate && m_pendingLogins.loadRelaxed() >= m_options.maxPendingLogins) {
        plan->immediate = Reply::failure(apiError(ErrorCode::ServerBusy));
    }
    if (plan->immediate) {
        writeLog(method, path, plan->immediate->httpStatus, timer->elapsed());
        return respond(toFront(*plan->immediate));
    }
    // A new account's password is hashed where logins are checked, then the
    // account is made back on this lane (see login() for why `self` holds).
    m_pendingLogins.ref();
    ContentServer* self = this;
    const PasswordHasher* hasher = &m_hasher;
    const int nice = m_options.hashNice;
    m_hashPool.start([self, lane, hasher, plan, authorization, respond, timer, method, path,
                      nice]() {
        yieldToRequests(nice);
        auto hash = std::make_shared<QByteArray>(hasher->hash(plan->password));
        sodium_memzero(plan->password.data(), plan->password.size());
        QMetaObject::invokeMethod(
            lane.context,
            [self, lane, plan, authorization, hash, respond, timer, method, path]() {
                self->m_pendingLogins.deref();
                const Reply reply = lane.service->finishViewerUpsert(authorization, *plan, *hash);
                self->writeLog(method, path, reply.httpStatus, timer->elapsed());
                respond(toFront(reply));
            },
            Qt::QueuedConnection);
    });
}

void ContentServer::login(const FrontRequest& request, const HttpFront::Respond& respond,
                          const QString& path, Lane lane)
{
    // A browser may post a form to any site without asking; it may not send
    // JSON there without the site's consent.
    if (!isJsonContentType(request.first("Content-Type"))) {
        writeLog(QStringLiteral("POST"), path, 400, 0);
        respond(toFront(Reply::failure(
            apiError(ErrorCode::InvalidRequest, QStringLiteral("登录请求须以 JSON 格式发送")))));
        return;
    }
    runLogin(
        request, respond, path, lane,
        [](Service& service, const QJsonObject& body, const QString& client) {
            return service.beginLogin(body, client);
        },
        [](Service& service, const Service::LoginPlan& plan, const HashOutcome& outcome) {
            return toFront(service.finishLogin(plan, outcome.matches, outcome.newHash));
        });
}

void ContentServer::runLogin(const FrontRequest& request, const HttpFront::Respond& respond,
                             const QString& path, Lane lane, const BeginLogin& begin,
                             const FinishLogin& finish)
{
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    const QString method = QStringLiteral("POST");
    auto answerNow = [&](const Reply& reply) {
        writeLog(method, path, reply.httpStatus, timer->elapsed());
        respond(toFront(reply));
    };
    QJsonObject body;
    const auto problem = JsonBody::parse(QByteArray::fromStdString(request.body), &body);
    if (problem != JsonBody::Problem::None) {
        return answerNow(bodyProblem(problem));
    }
    if (m_pendingLogins.loadRelaxed() >= m_options.maxPendingLogins) {
        return answerNow(Reply::failure(apiError(ErrorCode::ServerBusy)));
    }
    auto plan =
        std::make_shared<Service::LoginPlan>(begin(*lane.service, body, clientAddress(request)));
    if (plan->immediate) {
        return answerNow(*plan->immediate);
    }
    m_pendingLogins.ref();
    // The second half runs where the first did. `this` stays valid for it:
    // queued to this object, it is dropped if this object goes first; queued
    // to a worker, the destructor waits for it.
    ContentServer* self = this;
    const PasswordHasher* hasher = &m_hasher;
    const int nice = m_options.hashNice;
    m_hashPool.start([self, lane, hasher, plan, respond, timer, method, path, nice, finish]() {
        yieldToRequests(nice);
        auto outcome = std::make_shared<HashOutcome>();
        outcome->matches = hasher->verify(plan->hashToCheck, plan->password);
        if (outcome->matches && hasher->needsRehash(plan->hashToCheck)) {
            outcome->newHash = hasher->hash(plan->password);
        }
        sodium_memzero(plan->password.data(), plan->password.size());
        QMetaObject::invokeMethod(
            lane.context,
            [self, lane, plan, respond, outcome, timer, method, path, finish]() {
                self->m_pendingLogins.deref();
                FrontResponse response = finish(*lane.service, *plan, *outcome);
                self->writeLog(method, path, response.status, timer->elapsed());
                respond(std::move(response));
            },
            Qt::QueuedConnection);
    });
}

QString ContentServer::clientAddress(const FrontRequest& request) const
{
    if (m_options.trustForwardedFor) {
        // The proxy appends the address it saw to whatever the client sent,
        // so only the right-most entry of the last header is the proxy's word.
        const QByteArray forwarded = QByteArray::fromStdString(request.last("X-Forwarded-For"));
        if (!forwarded.isEmpty()) {
            QHostAddress last(QString::fromLatin1(forwarded.split(',').last().trimmed()));
            if (!last.isNull()) {
                bool isV4 = false;
                const quint32 v4 = last.toIPv4Address(&isV4);
                return isV4 ? QHostAddress(v4).toString() : last.toString();
            }
        }
    }
    return QString::fromStdString(request.peerAddress);
}

void ContentServer::writeLog(const QString& method, const QString& path, int status,
                             qint64 elapsedMs)
{
    // Put together piece by piece: a path must never be read as a
    // placeholder (QString::arg would replace "%1" inside it). Every piece
    // is ASCII (the path's other characters are logged as '?').
    thread_local QByteArray out;
    out.resize(0);  // keeps its room from the last line
    appendLogTime(&out, QDateTime::currentMSecsSinceEpoch());
    out += ' ';
    appendAscii(&out, method);
    out += ' ';
    appendAscii(&out, path);
    out += ' ';
    appendNumber(&out, status);
    out += ' ';
    appendNumber(&out, elapsedMs);
    out += "ms";
    if (m_options.log) {
        QMutexLocker lock(&m_accessLogMutex);
        m_options.log(QString::fromLatin1(out));
        return;
    }
    // Lines wait in memory and go out in one write every quarter second
    // (or once a few pages have gathered): a write of its own per request
    // cost the key endpoint more than its lookup.
    out.append('\n');
    QMutexLocker lock(&m_accessLogMutex);
    m_accessLog.append(out);
    if (m_accessLog.size() >= kAccessLogFlushBytes) {
        writeOut(m_accessLog);
        m_accessLog.resize(0);  // keeps its room: no growing again under the lock
    }
}

void ContentServer::flushAccessLog()
{
    QMutexLocker lock(&m_accessLogMutex);
    writeOut(m_accessLog);
    m_accessLog.resize(0);
}

// ---- the merchant console ----

namespace {

const char kCookieName[] = "vc_console";
const char kCsrfHeader[] = "X-Veilcast-Csrf";

enum class ConsoleRoute
{
    Login,
    Logout,
    Session,
    Keys,
    RevokeKey,
    Viewers,
    UpsertViewer,
    DisableViewer,
    EnableViewer,
    ResetDevices,
    Grants,
    GrantKeys,
    RevokeGrant,
    KeyRequests,
    SharedViewers,
    ApiKeys,
    AddApiKey,
    RevokeApiKey
};

struct ConsoleEntry
{
    const char* path;
    ConsoleRoute route;
    const char* method;
};

const ConsoleEntry kConsoleRoutes[] = {
    {"/console/api/login", ConsoleRoute::Login, "POST"},
    {"/console/api/logout", ConsoleRoute::Logout, "POST"},
    {"/console/api/session", ConsoleRoute::Session, "GET"},
    {"/console/api/keys", ConsoleRoute::Keys, "GET"},
    {"/console/api/keys/*/revoke", ConsoleRoute::RevokeKey, "POST"},
    {"/console/api/viewers", ConsoleRoute::Viewers, "GET"},
    {"/console/api/viewers", ConsoleRoute::UpsertViewer, "POST"},
    {"/console/api/viewers/*/disable", ConsoleRoute::DisableViewer, "POST"},
    {"/console/api/viewers/*/enable", ConsoleRoute::EnableViewer, "POST"},
    {"/console/api/viewers/*/devices/reset", ConsoleRoute::ResetDevices, "POST"},
    {"/console/api/grants", ConsoleRoute::Grants, "GET"},
    {"/console/api/grants", ConsoleRoute::GrantKeys, "POST"},
    {"/console/api/grants/*/revoke", ConsoleRoute::RevokeGrant, "POST"},
    {"/console/api/key-requests", ConsoleRoute::KeyRequests, "GET"},
    {"/console/api/shared-viewers", ConsoleRoute::SharedViewers, "GET"},
    {"/console/api/api-keys", ConsoleRoute::ApiKeys, "GET"},
    {"/console/api/api-keys", ConsoleRoute::AddApiKey, "POST"},
    {"/console/api/api-keys/*/revoke", ConsoleRoute::RevokeApiKey, "POST"},
};

struct ConsoleAsset
{
    const char* path;
    const char* resource;
    const char* type;
};

const ConsoleAsset kConsoleAssets[] = {
    {"/console/", ":/console/index.html", "text/html; charset=utf-8"},
    {"/console/app.js", ":/console/app.js", "text/javascript; charset=utf-8"},
    {"/console/app.css", ":/console/app.css", "text/css; charset=utf-8"},
};

// Every console answer: nothing sniffed, framed or referred. The page
// itself may load only its own script and style, so even text that slipped
// into the markup could not run.
void addConsoleHeaders(FrontResponse* r, bool page)
{
    r->headers.emplace_back("X-Content-Type-Options", "nosniff");
    r->headers.emplace_back("X-Frame-Options", "DENY");
    r->headers.emplace_back("Referrer-Policy", "no-referrer");
    if (page) {
        r->headers.emplace_back(
            "Content-Security-Policy",
            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
            "connect-src 'self'; form-action 'none'; frame-ancestors 'none'; base-uri 'none'");
    }
}

HttpFront::Respond consoleResponder(const HttpFront::Respond& respond)
{
    return [respond](FrontResponse r) {
        addConsoleHeaders(&r, false);
        respond(std::move(r));
    };
}

QString cookieValue(const FrontRequest& request)
{
    const QString prefix = QString::fromLatin1(kCookieName) + u'=';
    for (const auto& [name, value] : request.headers) {
        if (!boost::beast::iequals(name, "Cookie")) {
            continue;
        }
        for (const QString& part : QString::fromLatin1(value).split(u';')) {
            const QString item = part.trimmed();
            if (item.startsWith(prefix)) {
                return item.mid(prefix.size());
            }
        }
    }
    return {};
}

// A change must come from the console's own page. Browsers say where a
// request comes from (Sec-Fetch-Site, Origin); a page elsewhere cannot send
// JSON here without asking first, nor read the token it would have to echo.
// Clients that are not browsers send neither header and still need the token.
bool fromOwnPage(const FrontRequest& request, bool secure)
{
    const std::string site = request.first("Sec-Fetch-Site");
    if (!site.empty() && site != "same-origin") {
        return false;
    }
    const std::string origin = request.first("Origin");
    if (!origin.empty()) {
        const std::string own = (secure ? "https://" : "http://") + request.first("Host");
        if (origin != own) {
            return false;
        }
    }
    return isJsonContentType(request.first("Content-Type"));
}

std::string sessionCookie(const QString& value, qint64 maxAgeSeconds, bool secure)
{
    std::string cookie =
        std::string(kCookieName) + '=' + value.toStdString() +
        "; Path=/console; HttpOnly; SameSite=Strict; Max-Age=" + std::to_string(maxAgeSeconds);
    if (secure) {
        cookie += "; Secure";
    }
    return cookie;
}

}  // namespace

namespace {

// A page or asset of the console into *page; a refusal (not ok) when the
// path names none or the method is not GET.
Reply consoleAsset(const QString& rawPath, bool isGet, FrontResponse* page)
{
    const QString wanted =
        rawPath == QStringLiteral("/console") ? QStringLiteral("/console/") : rawPath;
    for (const ConsoleAsset& asset : kConsoleAssets) {
        if (wanted != QLatin1String(asset.path)) {
            continue;
        }
        if (!isGet) {
            return Reply::failure(apiError(ErrorCode::MethodNotAllowed));
        }
        QFile file(QString::fromLatin1(asset.resource));
        if (!file.open(QIODevice::ReadOnly)) {
            return Reply::failure(apiError(ErrorCode::ServerError));
        }
        page->body = file.readAll().toStdString();
        page->contentType = asset.type;
        addConsoleHeaders(page, true);
        return Reply::success({});
    }
    return Reply::failure(apiError(ErrorCode::NotFound));
}

// The console calls that answer at once, through the shop API's rules.
Reply consoleReply(Service& service, ConsoleRoute route, const MerchantCaller& caller,
                   const QString& cookie, const QString& id, const QJsonObject& query,
                   const QJsonObject& body)
{
    switch (route) {
        case ConsoleRoute::Session:
            return service.consoleSession(cookie);
        case ConsoleRoute::Keys:
            return service.listKeys(caller, query);
        case ConsoleRoute::RevokeKey:
            return service.consoleRevokeKey(caller, id);
        case ConsoleRoute::Viewers:
            return service.listViewers(caller, query);
        case ConsoleRoute::DisableViewer:
        case ConsoleRoute::EnableViewer:
            return service.setViewerDisabled(caller, id, route == ConsoleRoute::DisableViewer);
        case ConsoleRoute::ResetDevices:
            return service.resetViewerDevices(caller, id);
        case ConsoleRoute::Grants:
            return service.listGrants(caller, query);
        case ConsoleRoute::GrantKeys:
            return service.grantKeys(caller, body);
        case ConsoleRoute::RevokeGrant:
            return service.revokeGrant(caller, id);
        case ConsoleRoute::KeyRequests:
            return service.listKeyRequests(caller, query);
        case ConsoleRoute::SharedViewers:
            return service.consoleSharedViewers(caller);
        case ConsoleRoute::ApiKeys:
            return service.consoleApiKeys(caller);
        case ConsoleRoute::AddApiKey:
            return service.consoleAddApiKey(caller, body);
        case ConsoleRoute::RevokeApiKey:
            return service.consoleRevokeApiKey(caller, id);
        case ConsoleRoute::Login:
        case ConsoleRoute::Logout:
        case ConsoleRoute::UpsertViewer:
            break;  // answered by their own routines
    }
    return Reply::failure(apiError(ErrorCode::ServerError));
}

}  // namespace

void ContentServer::console(const FrontRequest& request, const HttpFront::Respond& plainRespond,
                            Lane lane)
{
    QElapsedTimer timer;
    timer.start();
    const HttpFront::Respond respond = consoleResponder(plainRespond);
    const QString method = methodName(request.method);
    const QString rawPath = pathOf(request.target);
    const QString path = loggablePath(rawPath);
    auto answer = [&](const Reply& reply) {
        writeLog(method, path, reply.httpStatus, timer.elapsed());
        respond(toFront(reply));
    };

    if (!rawPath.startsWith(QStringLiteral("/console/api/"))) {
        FrontResponse page;
        const Reply refusal = consoleAsset(rawPath, request.method == "GET", &page);
        if (!refusal.ok()) {
            return answer(refusal);
        }
        writeLog(method, path, 200, timer.elapsed());
        return plainRespond(std::move(page));
    }

    bool pathKnown = false;
    QString id;
    const ConsoleEntry* entry = findRoute(kConsoleRoutes, request, &pathKnown, &id);
    if (!pathKnown) {
        return answer(Reply::failure(apiError(ErrorCode::NotFound)));
    }
    if (!entry) {
        return answer(Reply::failure(apiError(ErrorCode::MethodNotAllowed)));
    }
    const bool changes = request.method != "GET";
    if (changes && !fromOwnPage(request, m_options.secureCookies)) {
        return answer(Reply::failure(apiError(ErrorCode::CsrfRejected)));
    }
    if (entry->route == ConsoleRoute::Login) {
        return consoleLogin(request, respond, path, lane);
    }
    QJsonObject body;
    if (changes && !request.body.empty()) {
        const auto problem = JsonBody::parse(QByteArray::fromStdString(request.body), &body);
        if (problem != JsonBody::Problem::None) {
            return answer(bodyProblem(problem));
        }
    }
    QJsonObject query;
    if (!readQuery(request.target, &query)) {
        return answer(bodyProblem(JsonBody::Problem::DuplicateKey));
    }
    // The merchant an admin chose; the rest of the query is the listing's.
    const QString merchant = query.take(QStringLiteral("merchant")).toString();
    const QString cookie = cookieValue(request);
    const MerchantCaller caller = MerchantCaller::console(
        cookie, QString::fromStdString(request.first(kCsrfHeader)), changes, merchant);
    if (entry->route == ConsoleRoute::Logout) {
        const Reply reply = lane.service->consoleLogout(caller);
        FrontResponse r = toFront(reply);
        if (reply.ok()) {
            r.headers.emplace_back("Set-Cookie", sessionCookie({}, 0, m_options.secureCookies));
        }
        writeLog(method, path, reply.httpStatus, timer.elapsed());
        return respond(std::move(r));
    }
    if (entry->route == ConsoleRoute::UpsertViewer) {
        return upsertViewer(caller, respond, path, lane, body);
    }
    answer(consoleReply(*lane.service, entry->route, caller, cookie, id, query, body));
}

void ContentServer::consoleLogin(const FrontRequest& request, const HttpFront::Respond& respond,
                                 const QString& path, Lane lane)
{
    const bool secure = m_options.secureCookies;
    runLogin(
        request, respond, path, lane,
        [](Service& service, const QJsonObject& body, const QString& client) {
            return service.beginConsoleLogin(body, client);
        },
        [secure](Service& service, const Service::LoginPlan& plan, const HashOutcome& outcome) {
            QString cookie;
            const Reply reply =
                service.finishConsoleLogin(plan, outcome.matches, outcome.newHash, &cookie);
            FrontResponse response = toFront(reply);
            if (reply.ok()) {
                response.headers.emplace_back(
                    "Set-Cookie", sessionCookie(cookie, service.consoleSessionSeconds(), secure));
            }
            return response;
        });
}
