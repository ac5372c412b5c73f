#pragma once

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "Clock.h"
#include "ContentServer.h"
#include "Database.h"
#include "KeyVault.h"
#include "PasswordHasher.h"
#include "Service.h"
#include "Store.h"

// Ids the server tests use: three keys, three devices; spans of time.
namespace TestIds {
const QString kK1 = QStringLiteral("11111111-1111-4111-8111-111111111111");
const QString kK2 = QStringLiteral("22222222-2222-4222-8222-222222222222");
const QString kK3 = QStringLiteral("33333333-3333-4333-8333-333333333333");
const QString kDevA = QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
const QString kDevB = QStringLiteral("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
const QString kDevC = QStringLiteral("cccccccccccccccccccccccccccccccc");
const qint64 kHour = 3600LL * 1000;
const qint64 kDay = 24 * kHour;
}  // namespace TestIds

// Read by the server's threads while a test moves it.
class ManualClock final : public Clock
{
public:
    qint64 nowMs() const override { return m_now.load(std::memory_order_relaxed); }
    void advance(qint64 ms) { m_now += ms; }
    void set(qint64 ms) { m_now = ms; }

private:
    std::atomic<qint64> m_now{QDateTime::currentMSecsSinceEpoch()};
};

struct HttpAnswer
{
    int status = 0;
    QByteArray raw;
    QJsonObject body;
    bool envelope = false;  // the body is a JSON object with "success"

    QString code() const { return body.value(QStringLiteral("code")).toString(); }
    QString message() const { return body.value(QStringLiteral("message")).toString(); }
    QJsonObject data() const { return body.value(QStringLiteral("data")).toObject(); }
    bool ok() const { return body.value(QStringLiteral("success")).toBool(); }
    // The last header of that name (case ignored); empty when absent.
    QByteArray header(const QByteArray& name) const;

    QList<QPair<QByteArray, QByteArray>> headers;
};

// An in-process server on a free loopback port, over a fresh database: a
// temporary SQLite file, or the PostgreSQL database named by
// VEILCAST_TEST_DATABASE (emptied first). Time is a manual clock.
class ServerHarness
{
public:
    explicit ServerHarness(PwHashCost cost = {1, 8 * 1024});
    ~ServerHarness();

    bool start(QString* error);
    bool usesPostgres() const { return m_postgres; }
    quint16 port() const { return m_port; }

    ManualClock clock;
    QStringList log;
    std::unique_ptr<Store> store;
    std::unique_ptr<Database> db;
    std::unique_ptr<PasswordHasher> hasher;
    std::unique_ptr<KeyVault> vault;
    ServiceOptions options;
    HttpOptions http;  // the log is always captured into `log`
    // As the real server does: key requests answered by the network thread
    // they arrive on, with a service of its own (two threads at least). Set
    // for a whole run by VEILCAST_TEST_KEYS_ON_NETWORK.
    bool keysOnNetworkThreads = qEnvironmentVariableIsSet("VEILCAST_TEST_KEYS_ON_NETWORK");
    // Makes those services instead of ServiceStack::open on the test's database.
    ContentServer::ServiceFactory networkServices;
    DbConfig dbConfig;  // the test's database, once started

    // seeding, straight into the store
    QString addMerchant(const QString& name);
    QString addUser(const QString& username, const QString& password, Role role,
                    const QString& merchantId = {}, int deviceLimit = 2);
    void addKey(const QString& keyId, const QString& merchantId, const QByteArray& key,
                const QByteArray& iv);
    void addGrant(const QString& userId, const QString& merchantId, const QString& keyId,
                  std::optional<qint64> endsAt);
    // A new API key of the merchant; returns its secret.
    QString addApiKey(const QString& merchantId);
    int count(const QString& table);

    // HTTP
    HttpAnswer post(const QString& path, const QByteArray& body, const QString& token = {});
    HttpAnswer post(const QString& path, const QJsonObject& body, const QString& token = {});
    HttpAnswer get(const QString& path, const QString& token = {});
    HttpAnswer send(const QByteArray& verb, const QString& path, const QByteArray& body,
                    const QString& token,
                    const QByteArray& contentType = QByteArrayLiteral("application/json"));
    // Only the headers given, no cookie jar: a browser's requests, by hand.
    HttpAnswer sendRaw(const QByteArray& verb, const QString& path, const QByteArray& body,
                       const QList<QPair<QByteArray, QByteArray>>& headers);
    HttpAnswer login(const QString& username, const QString& password,
                     const QString& deviceId = QStringLiteral("0123456789abcdef0123456789abcdef"));
    QString loginToken(
        const QString& username, const QString& password,
        const QString& deviceId = QStringLiteral("0123456789abcdef0123456789abcdef"));
    HttpAnswer videoKey(
        const QString& token, const QString& keyId,
        const QString& deviceId = QStringLiteral("0123456789abcdef0123456789abcdef"));

    QNetworkAccessManager network;

private:
    // Every exchange ends: a server that never answers fails the test instead
    // of hanging it.
    HttpAnswer exchange(QNetworkRequest request, const QByteArray& verb, const QByteArray& body);

    bool m_postgres = false;
    quint16 m_port = 0;
    QTemporaryDir m_dir;
    PwHashCost m_cost;
    std::unique_ptr<Service> m_service;
    std::unique_ptr<ContentServer> m_server;
};
