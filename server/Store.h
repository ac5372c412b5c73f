#pragma once

#include <QList>
#include <QString>
#include <optional>

#include "Database.h"
#include "Role.h"

struct Merchant
{
    QString id;
    QString name;
    qint64 createdAt = 0;
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

    // users
    Insert addUser(const User& u);
    std::optional<User> userByName(const QString& username, bool* failed);
    std::optional<User> userById(const QString& id, bool* failed);
    bool listUsers(QList<User>* out);
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

    // content keys
    Insert addKey(const ContentKey& k);
    std::optional<ContentKey> keyById(const QString& keyId, bool* failed);
    bool listKeys(const QString& merchantId, QList<ContentKey>* out);  // empty id: all
    int setKeyRevoked(const QString& keyId, bool revoked);

    // grants
    bool addGrant(const Grant& g);
    int deleteGrant(const QString& grantId);
    bool listGrants(const QString& userId, QList<Grant>* out);  // empty id: all
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

private:
    Database& m_db;
};
