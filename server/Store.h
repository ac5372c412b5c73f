#pragma once

#include <QList>
#include <QString>
#include <optional>

#include "Database.h"
#include "KeyRequestBatch.h"
#include "Role.h"

struct Merchant
{
    QString id;
    QString name;
    qint64 createdAt = 0;
    bool disabled = false;
};

// A shop's credential for server-to-server calls. Only the hash of its secret
// is kept; the secret is shown once, when the key is made.
struct ApiKey
{
    QString id;
    QString merchantId;
    QString merchantName;  // filled by the lookups, not stored
    QString secretHash;
    QString label;
    qint64 createdAt = 0;
    std::optional<qint64> revokedAt;
    bool merchantDisabled = false;  // filled by apiKeyByHash
};

// One key request as the log keeps it, whatever its outcome.
struct KeyRequestEntry
{
    QString id;
    qint64 at = 0;
    QString userId;    // empty when the token named nobody
    QString username;  // filled by listKeyRequests
    QString deviceId;
    QString deviceName;
    QString clientAddress;
    QString keyId;
    QString merchantId;  // the key's merchant; empty when no such key
    QString result;      // "OK" or the refusal's code
};

// A viewer seen from more devices or addresses than their limit allows.
struct SharedViewer
{
    QString userId;
    QString username;
    int devices = 0;
    int addresses = 0;
    int deviceLimit = 0;
};

// Which rows of a merchant's listing to read: a page, and the filters the
// listing knows (empty: no filter).
struct ListFilter
{
    int limit = 100;
    int offset = 0;
    QString userId;
    QString keyId;
    std::optional<qint64> from;  // inclusive
    std::optional<qint64> to;    // exclusive
};

// A console login. The cookie's value is kept only as its hash.
struct ConsoleSession
{
    QString sessionHash;
    QString userId;
    QString csrfToken;
    qint64 createdAt = 0;
    qint64 expiresAt = 0;
};

struct User
{
    QString id;
    QString username;
    QByteArray passwordHash;
    Role role = Role::Viewer;
    QString displayName;
    QString merchantId;    // empty when none
    QString merchantName;  // filled by the lookups, not stored
    std::optional<qint64> accountExpiresAt;
    bool disabled = false;
    int deviceLimit = 2;
    qint64 createdAt = 0;
};

struct Device
{
    QString userId;
    QString deviceId;
    QString name;
    qint64 firstSeen = 0;
    qint64 lastSeen = 0;
    bool rejected = false;
};

struct ContentKey
{
    QString keyId;
    QString merchantId;
    QString merchantName;  // filled by listKeys
    QString sealedKey;
    QString iv;  // Base64
    QString title;
    QString sourceFileName;
    qint64 fileSize = 0;
    bool revoked = false;
    QString createdBy;
    qint64 createdAt = 0;
};

struct Grant
{
    QString id;
    QString userId;
    QString username;  // filled by listGrants
    QString merchantId;
    QString merchantName;  // filled by listGrants
    QString keyId;         // empty: every key of the merchant
    std::optional<qint64> endsAt;
    qint64 createdAt = 0;
};

struct TokenRecord
{
    QString tokenHash;
    QString userId;
    QString deviceId;
    qint64 issuedAt = 0;
    qint64 accessExpiresAt = 0;
    qint64 renewUntil = 0;
    qint64 sessionStartedAt = 0;  // the login's time, carried through renewals
};

// Everything one key request needs to know, read in one statement: the
// token, its user, the requesting device and the key, and how the user's
// grants stand for that key. Only the fields the key rules read are filled.
struct KeyRequestView
{
    enum class GrantState
    {
        None,     // no grant covers the key
        Expired,  // only grants that have ended
        Current
    };
    std::optional<TokenRecord> token;
    std::optional<User> user;  // id, role, merchantId, accountExpiresAt, disabled, deviceLimit
    std::optional<Device> device;
    std::optional<ContentKey> key;  // keyId, merchantId, sealedKey, iv, revoked
    GrantState grants = GrantState::None;
};

// SQL for everything the server and the admin commands store. Each method
// returns false (or an empty optional with *failed set) on a database error;
// "not found" is an empty optional with *failed left false.
class Store
{
public:
    enum class Insert
    {
        Done,
        Conflict,
        Failed
    };

    enum class DeviceAdmission
    {
        Added,
        Exists,  // already recorded (maybe just now, by another instance)
        Full,
        Failed
    };

    explicit Store(Database& db) : m_db(db) {}
    Database& db() { return m_db; }

    // merchants
    Insert addMerchant(const Merchant& m);
    std::optional<Merchant> merchantByName(const QString& name, bool* failed);
    std::optional<Merchant> merchantById(const QString& id, bool* failed);
    bool listMerchants(QList<Merchant>* out);
    int setMerchantDisabled(const QString& id, bool disabled);

    // API keys
    Insert addApiKey(const ApiKey& k);
    // With the merchant's state, so one statement decides a call.
    std::optional<ApiKey> apiKeyByHash(const QString& secretHash, bool* failed);
    bool listApiKeys(const QString& merchantId, QList<ApiKey>* out);
    // Only a key still in force is revoked: 0 for an unknown or revoked one.
    // With a merchant id only that merchant's key can be revoked: the console
    // asks in one statement instead of listing every key first.
    int revokeApiKey(const QString& id, qint64 at, const QString& merchantId = {});

    // users
    Insert addUser(const User& u);
    std::optional<User> userByName(const QString& username, bool* failed);
    std::optional<User> userById(const QString& id, bool* failed);
    bool listUsers(QList<User>* out);
    // A viewer is a merchant's when the merchant made the account or has
    // granted it something; only then may the merchant see or change it.
    std::optional<User> merchantViewer(const QString& merchantId, const QString& userId,
                                       bool* failed);
    bool listMerchantViewers(const QString& merchantId, const ListFilter& page, QList<User>* out);
    // Disabling also deletes the user's tokens, so enabling again revives none.
    bool setUserDisabled(const QString& userId, bool disabled);
    bool setPasswordHash(const QString& userId, const QByteArray& hash);
    bool setDeviceLimit(const QString& userId, int limit);
    bool setAccountExpiry(const QString& userId, std::optional<qint64> expiresAt);

    // devices
    std::optional<Device> device(const QString& userId, const QString& deviceId, bool* failed);
    std::optional<int> activeDeviceCount(const QString& userId);
    Insert addDevice(const Device& d);
    // Counts the user's active devices and adds this one only when fewer than
    // `limit` (0: no limit), as one step that concurrent requests, on any
    // instance, cannot both pass.
    DeviceAdmission addDeviceWithinLimit(const Device& d, int limit);
    bool touchDevice(const QString& userId, const QString& deviceId, const QString& name,
                     qint64 now);
    // Returns the number of rows changed (0: no such device), -1 on failure.
    int setDeviceRejected(const QString& userId, const QString& deviceId, bool rejected);
    int deleteDevice(const QString& userId, const QString& deviceId);
    bool listDevices(const QString& userId, QList<Device>* out);
    // Forgets the user's active devices (rejected ones stay rejected) and
    // ends every session, so none of them comes back on its own. The number
    // of devices forgotten, -1 on failure.
    int resetDevices(const QString& userId);

    // content keys
    Insert addKey(const ContentKey& k);
    std::optional<ContentKey> keyById(const QString& keyId, bool* failed);
    bool listKeys(const QString& merchantId, QList<ContentKey>* out);  // empty id: all
    int setKeyRevoked(const QString& keyId, bool revoked);
    bool listKeysPage(const QString& merchantId, const ListFilter& page, QList<ContentKey>* out);

    // grants
    bool addGrant(const Grant& g);
    int deleteGrant(const QString& grantId);
    bool listGrants(const QString& userId, QList<Grant>* out);  // empty id: all
    // One grant per viewer, merchant and key (empty key: all of them): an
    // existing one gets the new end, a missing one is added as given. All for
    // one viewer, in one transaction locked on the viewer's row, so the same
    // grant made on two instances at once is still one. *out gets the grants
    // as they now stand, in the order asked.
    bool setGrants(const QList<Grant>& wanted, QList<Grant>* out);
    // Only the merchant's own grant; the number of rows removed.
    int deleteMerchantGrant(const QString& merchantId, const QString& grantId);
    bool listMerchantGrants(const QString& merchantId, const ListFilter& filter, QList<Grant>* out);
    // End dates of every grant that covers `keyId` for this user; an empty
    // optional in the list is a grant without an end.
    bool grantEndsFor(const QString& userId, const QString& keyId, const QString& merchantId,
                      QList<std::optional<qint64>>* out);

    // The state one key request is judged on, as of one moment (`now` decides
    // which grants have ended). Empty device or key ids find nothing.
    std::optional<KeyRequestView> keyRequestView(const QString& tokenHash, const QString& deviceId,
                                                 const QString& keyId, qint64 now);

    // tokens
    bool addToken(const TokenRecord& t);
    std::optional<TokenRecord> tokenByHash(const QString& hash, bool* failed);
    int deleteToken(const QString& hash);
    // Ties a token issued without a device to this one; 1 when it was tied now.
    int bindTokenDevice(const QString& hash, const QString& deviceId);
    bool deleteTokensOfUser(const QString& userId);
    bool purgeTokens(qint64 now);

    // console sessions
    bool addConsoleSession(const ConsoleSession& s);
    std::optional<ConsoleSession> consoleSessionByHash(const QString& hash, bool* failed);
    int deleteConsoleSession(const QString& hash);
    bool setConsoleSessionEnd(const QString& hash, qint64 expiresAt);
    bool purgeConsoleSessions(qint64 now);

    // login throttling, shared by every instance on the same database
    bool addLoginFailure(const QString& subject, qint64 at);
    // Records an attempt for `subject` before its password is checked and
    // returns the attempts within the window, this one included. Inserting
    // first makes concurrent attempts see each other, across instances too.
    std::optional<int> reserveLoginAttempt(const QString& subject, const QString& attempt,
                                           qint64 at, qint64 since);
    // Takes back every record of one attempt (a success, or a refusal).
    bool releaseLoginAttempt(const QString& attempt);
    std::optional<int> loginFailuresSince(const QString& subject, qint64 since);
    bool clearLoginFailures(const QString& subject);
    bool purgeLoginFailures(qint64 before);

    // the key-request log
    // An entry's id starts with this: its time as 16 hex digits, so ids sort
    // (and are purged) by time; the rest of the id only keeps them apart.
    static QString keyRequestIdPrefix(qint64 at);
    // A whole id: that prefix, then `distinct` as 16 more hex digits.
    static QString keyRequestId(qint64 at, quint64 distinct);
    bool addKeyRequests(const KeyRequestBatch& entries);  // one transaction
    bool listKeyRequests(const QString& merchantId, const ListFilter& filter,
                         QList<KeyRequestEntry>* out);
    // Viewers of this merchant (with a device limit) whose key requests since
    // `from` came from more devices or more addresses than that limit: counted
    // by the database over every request, however many there were.
    bool listSharedViewers(const QString& merchantId, qint64 from, QList<SharedViewer>* out);
    bool purgeKeyRequests(qint64 before);

private:
    Database& m_db;
};
