#include "ServerHarness.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include "ServiceWorker.h"

ServerHarness::ServerHarness(PwHashCost cost) : m_cost(cost) {}

ServerHarness::~ServerHarness()
{
    m_server.reset();
    m_service.reset();
    store.reset();
    db.reset();
}

bool ServerHarness::start(QString* error)
{
    const QString url = qEnvironmentVariable("VEILCAST_TEST_DATABASE");
    m_postgres = !url.isEmpty();
    const auto config = parseDatabaseUrl(
        m_postgres ? url : QStringLiteral("sqlite:") + m_dir.filePath(QStringLiteral("test.db")),
        error);
    if (!config) {
        return false;
    }
    dbConfig = *config;
    db = std::make_unique<Database>();
    if (!db->open(*config, error)) {
        return false;
    }
    if (m_postgres) {
        // The first test of the process builds the schema from nothing, which
        // runs every migration; later ones only empty the tables (much faster).
        static bool built = false;
        QSqlQuery q(db->handle());
        const bool ok = built ? q.exec(QStringLiteral(
                                    "TRUNCATE merchants, users, devices, content_keys, api_keys, "
                                    "grants, tokens, login_failures, key_requests CASCADE"))
                              : q.exec(QStringLiteral("DROP SCHEMA IF EXISTS public CASCADE")) &&
                                    q.exec(QStringLiteral("CREATE SCHEMA public"));
        if (!ok) {
            *error = q.lastError().text();
            return false;
        }
        built = true;
    }
    if (!db->migrate(error)) {
        return false;
    }
    store = std::make_unique<Store>(*db);
    hasher = std::make_unique<PasswordHasher>(m_cost);
    QByteArray master(KeyVault::kMasterKeySize, '\x5a');
    vault = std::make_unique<KeyVault>(master);
    m_service = std::make_unique<Service>(*store, *vault, *hasher, clock, options);
    http.log = [this](const QString& line) { log.append(line); };
    if (keysOnNetworkThreads) {
        http.front.threads = std::max(2, http.front.threads);
    }
    m_server = std::make_unique<ContentServer>(*m_service, *hasher, http);
    if (keysOnNetworkThreads) {
        if (!networkServices) {
            networkServices = [this, config = *config](QString* problem) {
                return ServiceStack::open(config, *vault, *hasher, clock, options, problem);
            };
        }
        m_server->setNetworkServices(networkServices);
    }
    m_port = m_server->listen(QHostAddress::LocalHost, 0);
    if (m_port == 0) {
        *error = QStringLiteral("listen failed");
        return false;
    }
    return true;
}

QString ServerHarness::addMerchant(const QString& name)
{
    const Merchant m{QUuid::createUuid().toString(QUuid::WithoutBraces), name, clock.nowMs()};
    return store->addMerchant(m) == Store::Insert::Done ? m.id : QString();
}

QString ServerHarness::addUser(const QString& username, const QString& password, Role role,
                               const QString& merchantId, int deviceLimit)
{
    User u;
    u.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    u.username = username;
    u.passwordHash = hasher->hash(password.toUtf8());
    u.role = role;
    u.displayName = username + QStringLiteral("（显示名）");
    u.merchantId = merchantId;
    u.deviceLimit = deviceLimit;
    u.createdAt = clock.nowMs();
    return store->addUser(u) == Store::Insert::Done ? u.id : QString();
}

void ServerHarness::addKey(const QString& keyId, const QString& merchantId, const QByteArray& key,
                           const QByteArray& iv)
{
    ContentKey k;
    k.keyId = keyId;
    k.merchantId = merchantId;
    k.sealedKey = vault->seal(key, keyId);
    k.iv = QString::fromLatin1(iv.toBase64());
    k.title = QStringLiteral("标题");
    k.sourceFileName = QStringLiteral("clip.mp4");
    k.fileSize = 1000;
    k.createdAt = clock.nowMs();
    store->addKey(k);
}

void ServerHarness::addGrant(const QString& userId, const QString& merchantId, const QString& keyId,
                             std::optional<qint64> endsAt)
{
    Grant g;
    g.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    g.userId = userId;
    g.merchantId = merchantId;
    g.keyId = keyId;
    g.endsAt = endsAt;
    g.createdAt = clock.nowMs();
    store->addGrant(g);
}

QString ServerHarness::addApiKey(const QString& merchantId)
{
    ApiKey k;
    k.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    k.merchantId = merchantId;
    const QString secret = Service::newApiKeySecret();
    k.secretHash = Service::hashToken(secret);
    k.createdAt = clock.nowMs();
    return store->addApiKey(k) == Store::Insert::Done ? secret : QString();
}

int ServerHarness::count(const QString& table)
{
    QSqlQuery q(db->handle());
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM ") + table) || !q.next()) {
        return -1;
    }
    return q.value(0).toInt();
}

HttpAnswer ServerHarness::send(const QByteArray& verb, const QString& path, const QByteArray& body,
                               const QString& token, const QByteArray& contentType)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path)));
    if (!contentType.isEmpty()) {
        request.setRawHeader("Content-Type", contentType);
    }
    if (!token.isEmpty()) {
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    }
    return exchange(request, verb, body);
}

HttpAnswer ServerHarness::exchange(QNetworkRequest request, const QByteArray& verb,
                                   const QByteArray& body)
{
    constexpr int kAnswerWithinMs = 30000;
    request.setTransferTimeout(kAnswerWithinMs);
    QNetworkReply* reply = network.sendCustomRequest(request, verb, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) {
        loop.exec();
    }
    HttpAnswer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.raw = reply->readAll();
    answer.headers = reply->rawHeaderPairs();
    const QJsonDocument doc = QJsonDocument::fromJson(answer.raw);
    answer.body = doc.object();
    answer.envelope = doc.isObject() && answer.body.contains(QStringLiteral("success"));
    reply->deleteLater();
    return answer;
}

QByteArray HttpAnswer::header(const QByteArray& name) const
{
    QByteArray value;
    for (const auto& [n, v] : headers) {
        if (n.compare(name, Qt::CaseInsensitive) == 0) {
            value = v;
        }
    }
    return value;
}

HttpAnswer ServerHarness::sendRaw(const QByteArray& verb, const QString& path,
                                  const QByteArray& body,
                                  const QList<QPair<QByteArray, QByteArray>>& headers)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path)));
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    for (const auto& [name, value] : headers) {
        request.setRawHeader(name, value);
    }
    return exchange(request, verb, body);
}

HttpAnswer ServerHarness::post(const QString& path, const QByteArray& body, const QString& token)
{
    return send("POST", path, body, token);
}

HttpAnswer ServerHarness::post(const QString& path, const QJsonObject& body, const QString& token)
{
    return send("POST", path, QJsonDocument(body).toJson(), token);
}

HttpAnswer ServerHarness::get(const QString& path, const QString& token)
{
    return send("GET", path, {}, token);
}

HttpAnswer ServerHarness::login(const QString& username, const QString& password,
                                const QString& deviceId)
{
    return post(QStringLiteral("/api/auth/login"),
                QJsonObject{{"username", username},
                            {"password", password},
                            {"deviceId", deviceId},
                            {"deviceName", QStringLiteral("测试机 · Linux")}});
}

QString ServerHarness::loginToken(const QString& username, const QString& password,
                                  const QString& deviceId)
{
    return login(username, password, deviceId).data().value(QStringLiteral("token")).toString();
}

HttpAnswer ServerHarness::videoKey(const QString& token, const QString& keyId,
                                   const QString& deviceId)
{
    return post(QStringLiteral("/api/video/key"),
                QJsonObject{{"keyId", keyId},
                            {"fileId", QStringLiteral("file-1")},
                            {"deviceId", deviceId},
                            {"deviceName", QStringLiteral("测试机")}},
                token);
}
