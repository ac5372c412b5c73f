#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

#include "ApiError.h"
#include "KeyRequestLog.h"
#include "Store.h"

class Clock;
class KeyVault;
class PasswordHasher;

struct ServiceOptions
{
    qint64 accessLifetimeMs = 24LL * 3600 * 1000;
    qint64 renewalWindowMs = 30LL * 24 * 3600 * 1000;
    // However often a token is renewed, the login behind it ends after this.
    qint64 sessionLifetimeMs = 90LL * 24 * 3600 * 1000;
    int maxLoginFailures = 10;
    qint64 failureWindowMs = 10LL * 60 * 1000;
    // Key-request log entries older than this are dropped by housekeeping.
    qint64 keyLogRetentionMs = 180LL * 24 * 3600 * 1000;
    // A console login ends this long after it began, used or not: the
    // console changes what viewers may watch, and a forgotten browser tab
    // should not keep that power for days.
    qint64 consoleSessionMs = 8LL * 3600 * 1000;
    // And sooner when left alone this long: each use moves the end on, up
    // to consoleSessionMs after the login.
    qint64 consoleIdleMs = 30LL * 60 * 1000;
};

// Who acts through the shop's rules: a shop's own server, by one of the
// merchant's API keys (the Authorization header), or a person in the
// console, by a session cookie. Either way the same rules decide.
struct MerchantCaller
{
    MerchantCaller(const QByteArray& authorization) : authorization(authorization) {}
    static MerchantCaller console(const QString& cookie, const QString& csrfToken, bool changes,
                                  const QString& merchantId)
    {
        MerchantCaller c{QByteArray()};
        c.viaConsole = true;
        c.cookie = cookie;
        c.csrfToken = csrfToken;
        c.changes = changes;
        c.merchantId = merchantId;
        return c;
    }

    QByteArray authorization;
    bool viaConsole = false;
    QString cookie;
    QString csrfToken;  // as the page sent it; checked when the call changes something
    bool changes = false;
    QString merchantId;  // the merchant an admin chose; a merchant always gets their own
};

// A key request's fields as the body gave them: absent or null ones empty,
// a deviceId that is not text empty too; `fault` names the first of keyId,
// fileId and deviceName that is not text.
struct KeyRequestText
{
    QString keyId;
    QString fileId;
    QString deviceId;
    QString deviceName;
    std::optional<ApiError> fault;

    static KeyRequestText fromJson(const QJsonObject& body);
    // The fast read of a body with only plain strings (JsonBody::readFlatStrings);
    // nothing when the body needs the full parser.
    static std::optional<KeyRequestText> fromFlatJson(QByteArrayView body);
};

// The rules behind the endpoints, free of HTTP. Runs on one thread (the
// one that owns the store); only password hashing may leave it, which is why
// a login comes in two halves around the hash check.
class Service
{
public:
    Service(Store& store, const KeyVault& vault, const PasswordHasher& hasher, const Clock& clock,
            ServiceOptions options);
    ~Service();  // writes what is left of the key-request log

    struct LoginPlan
    {
        std::optional<Reply> immediate;  // set when the answer is known without hashing
        QString username;
        QByteArray password;
        QByteArray hashToCheck;
        std::optional<User> user;
        QString deviceId;  // normalised, or empty when the client sent none usable
        QString deviceName;
        QString clientAddress;
        QString attempt;  // the id its throttle records carry
    };
    LoginPlan beginLogin(const QJsonObject& body, const QString& clientAddress);
    Reply finishLogin(const LoginPlan& plan, bool passwordMatches, const QByteArray& newHash);
    // Both halves in one call, for callers that may block.
    Reply login(const QJsonObject& body, const QString& clientAddress);

    Reply me(const QByteArray& authorization);
    Reply logout(const QByteArray& authorization);
    // Every key request, answered or refused, goes to the key-request log.
    Reply videoKey(const QByteArray& authorization, const QJsonObject& body,
                   const QString& clientAddress = {});
    Reply videoKey(const QByteArray& authorization, const KeyRequestText& body,
                   const QString& clientAddress = {});
    Reply registerKey(const QByteArray& authorization, const QJsonObject& body);
    // Key requests are logged to a queue, written by this call. By default
    // the queue is this service's own; a server shares one among all of its
    // services and has one of them write it out now and then.
    // Null: back to its own.
    void shareKeyLog(KeyRequestLog* log) { m_keyLog = log ? log : &m_ownKeyLog; }
    void flushKeyLog();

    // The shop API: a merchant's own server calls with one of the merchant's
    // API keys. `query` holds the URL's query parameters, as strings.
    struct ViewerPlan
    {
        std::optional<Reply> immediate;  // set when no new password needs hashing
        QJsonObject body;
        QByteArray password;
    };
    // Creating a viewer hashes its password, which must not hold up this
    // thread: the first half says whether a hash is needed, the second makes
    // the account with it.
    ViewerPlan beginViewerUpsert(const MerchantCaller& caller, const QJsonObject& body);
    Reply finishViewerUpsert(const MerchantCaller& caller, const ViewerPlan& plan,
                             const QByteArray& passwordHash);
    // Both halves in one call, for callers that may block.
    Reply upsertViewer(const MerchantCaller& caller, const QJsonObject& body);
    Reply listViewers(const MerchantCaller& caller, const QJsonObject& query);
    Reply setViewerDisabled(const MerchantCaller& caller, const QString& viewerId, bool disabled);
    Reply resetViewerDevices(const MerchantCaller& caller, const QString& viewerId);
    Reply grantKeys(const MerchantCaller& caller, const QJsonObject& body);
    Reply revokeGrant(const MerchantCaller& caller, const QString& grantId);
    Reply listGrants(const MerchantCaller& caller, const QJsonObject& query);
    Reply listKeys(const MerchantCaller& caller, const QJsonObject& query);
    Reply listKeyRequests(const MerchantCaller& caller, const QJsonObject& query);

    // The merchant console. Its login is the player's (same throttle, same
    // password check) but gives a session, for merchants and admins only;
    // *cookie gets the session's secret, which is kept only as its hash.
    LoginPlan beginConsoleLogin(const QJsonObject& body, const QString& clientAddress)
    {
        return beginLogin(body, clientAddress);
    }
    Reply finishConsoleLogin(const LoginPlan& plan, bool passwordMatches, const QByteArray& newHash,
                             QString* cookie);
    // Who is logged in, the token the page must send with every change, and
    // for an admin the merchants to choose from.
    Reply consoleSession(const QString& cookie);
    qint64 consoleSessionSeconds() const { return m_options.consoleSessionMs / 1000; }
    Reply consoleLogout(const MerchantCaller& caller);
    Reply consoleRevokeKey(const MerchantCaller& caller, const QString& keyId);
    Reply consoleApiKeys(const MerchantCaller& caller);
    Reply consoleAddApiKey(const MerchantCaller& caller, const QJsonObject& body);
    Reply consoleRevokeApiKey(const MerchantCaller& caller, const QString& apiKeyId);
    // Viewers seen, within the last day, from more devices or client
    // addresses than their device limit allows: an account passed around.
    Reply consoleSharedViewers(const MerchantCaller& caller);

    // Drops expired tokens and old throttling records.
    void housekeeping();

    static QString hashToken(const QString& token);
    // 32 hex digits, any case, to lower case; empty when malformed.
    static QString normalizeDeviceId(const QString& raw);
    // Dashed or undashed UUID text to the lower-case dashed form; empty when malformed.
    static QString normalizeKeyId(const QString& raw, bool requireDashes);
    static QString isoTime(qint64 ms);
    // A new API key's secret: 256 random bits, with a prefix that tells it
    // from a login token at a glance. Stored only as hashToken() of it.
    static QString newApiKeySecret();

private:
    struct Session
    {
        User user;
        TokenRecord token;
    };
    std::optional<ApiError> authenticate(const QByteArray& authorization, bool forRenewal,
                                         Session* out);
    std::optional<ApiError> accountState(const User& user) const;
    // `known`: the device as already read for this request (empty: not found
    // then); without it the device is looked up here.
    std::optional<ApiError> admitDevice(const User& user, const QString& deviceId,
                                        const QString& deviceName,
                                        const std::optional<std::optional<Device>>& known = {});
    std::optional<ApiError> tokenState(const TokenRecord& token, bool forRenewal) const;
    void recordLoginDevice(const User& user, const QString& deviceId, const QString& deviceName);
    // sessionStartedAt 0: a new login, starting now.
    std::optional<QString> issueToken(const User& user, const QString& deviceId,
                                      qint64 sessionStartedAt, TokenRecord* record);
    std::optional<ApiError> checkTokenDevice(const Session& session, const QString& deviceId);
    QJsonObject userData(const User& user, const QString& token, const TokenRecord& record) const;
    // The merchant a key registered by an admin belongs to, into *merchantId
    // (which starts as the admin's own); a refusal when there is none.
    std::optional<Reply> chooseKeyMerchant(const QJsonObject& body, QString* merchantId);
    // Decides a key request and notes in *entry what the log keeps of it.
    Reply judgeKeyRequest(const QByteArray& authorization, const KeyRequestText& body,
                          KeyRequestEntry* entry);
    void logKeyRequest(KeyRequestEntry entry);
    // The merchant whose API key this is, into *merchantId; a refusal for a
    // missing, unknown or revoked key and for a disabled merchant. Read anew
    // on every call: a revoke holds at once, on every instance. A console
    // caller goes through consoleMerchant() instead.
    std::optional<ApiError> authenticateMerchant(const MerchantCaller& caller, QString* merchantId);
    // The live console session behind `cookie` and its account.
    std::optional<ApiError> consoleUser(const QString& cookie, User* user, ConsoleSession* session);
    std::optional<ApiError> consoleMerchant(const MerchantCaller& caller, QString* merchantId);
    // The password check and account state, shared by both logins; a
    // refusal, or nothing when the login may go on.
    std::optional<Reply> settleLogin(const LoginPlan& plan, bool passwordMatches,
                                     const QByteArray& newHash);
    // A listing's caller (by API key) and its page and filters (these
    // allowed) into the out-parameters; a refusal when either fails.
    std::optional<Reply> openListing(const MerchantCaller& caller, const QJsonObject& query,
                                     const QStringList& filters, QString* merchantId,
                                     ListFilter* filter);
    // The existing account named in `body`, brought to the settings it asks for.
    Reply updateViewer(const QString& merchantId, const User& user, const QJsonObject& body);

    Store& m_store;
    const KeyVault& m_vault;
    const PasswordHasher& m_hasher;
    const Clock& m_clock;
    ServiceOptions m_options;
    QByteArray m_dummyHash;
    KeyRequestLog m_ownKeyLog;
    KeyRequestLog* m_keyLog = &m_ownKeyLog;
};
