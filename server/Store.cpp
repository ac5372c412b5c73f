#include "Store.h"

#include <QSqlQuery>
#include <algorithm>

namespace {

QVariant optText(const QString& s)
{
    return s.isEmpty() ? nullText() : QVariant(s);
}

// Qt binds a null QString as SQL NULL; NOT NULL text columns want "".
QVariant text(const QString& s)
{
    return s.isNull() ? QVariant(QStringLiteral("")) : QVariant(s);
}

QVariant optInt64(const std::optional<qint64>& v)
{
    return v ? QVariant(qlonglong(*v)) : nullInt64();
}

std::optional<qint64> readOptInt64(const QSqlQuery* q, int column)
{
    const QVariant v = q->value(column);
    if (v.isNull()) {
        return std::nullopt;
    }
    return v.toLongLong();
}

// Reads at most one row with `read`, then releases the statement so SQLite
// does not keep a read transaction open.
template <typename T, typename Read>
std::optional<T> one(QSqlQuery* q, bool* failed, Read read)
{
    *failed = (q == nullptr);
    if (!q) {
        return std::nullopt;
    }
    std::optional<T> result;
    if (q->next()) {
        result = read(q);
    }
    q->finish();
    return result;
}

template <typename T, typename Read>
bool all(QSqlQuery* q, QList<T>* out, Read read)
{
    out->clear();
    if (!q) {
        return false;
    }
    while (q->next()) {
        out->append(read(q));
    }
    q->finish();
    return true;
}

int affected(QSqlQuery* q)
{
    if (!q) {
        return -1;
    }
    const int n = q->numRowsAffected();
    q->finish();
    return n;
}

Store::Insert inserted(QSqlQuery* q)
{
    const int n = affected(q);
    if (n < 0) {
        return Store::Insert::Failed;
    }
    return n == 0 ? Store::Insert::Conflict : Store::Insert::Done;
}

// The table's CHECK admits only the three names. Were anything else ever read,
// the account would get the least a role grants rather than a guess.
Role readRole(const QString& name)
{
    return roleFromName(name).value_or(Role::Viewer);
}

const QString kUserColumns = QStringLiteral(
    "u.id, u.username, u.password_hash, u.role, u.display_name, u.merchant_id, m.name, "
    "u.account_expires_at, u.disabled, u.device_limit, u.created_at "
    "FROM users u LEFT JOIN merchants m ON m.id = u.merchant_id ");

User readUser(const QSqlQuery* q)
{
    User u;
    u.id = q->value(0).toString();
    u.username = q->value(1).toString();
    u.passwordHash = q->value(2).toString().toLatin1();
    u.role = readRole(q->value(3).toString());
    u.displayName = q->value(4).toString();
    u.merchantId = q->value(5).toString();
    u.merchantName = q->value(6).toString();
    u.accountExpiresAt = readOptInt64(q, 7);
    u.disabled = q->value(8).toInt() != 0;
    u.deviceLimit = q->value(9).toInt();
    u.createdAt = q->value(10).toLongLong();
    return u;
}

const QString kMerchantColumns = QStringLiteral("id, name, created_at, disabled FROM merchants ");

Merchant readMerchant(const QSqlQuery* q)
{
    return {q->value(0).toString(), q->value(1).toString(), q->value(2).toLongLong(),
            q->value(3).toInt() != 0};
}

Device readDevice(const QSqlQuery* q)
{
    Device d;
    d.userId = q->value(0).toString();
    d.deviceId = q->value(1).toString();
    d.name = q->value(2).toString();
    d.firstSeen = q->value(3).toLongLong();
    d.lastSeen = q->value(4).toLongLong();
    d.rejected = q->value(5).toString() == QStringLiteral("rejected");
    return d;
}

const QString kKeyColumns = QStringLiteral(
    "k.key_id, k.merchant_id, m.name, k.sealed_key, k.iv, k.title, k.source_file_name, "
    "k.file_size, k.revoked, k.created_by, k.created_at "
    "FROM content_keys k JOIN merchants m ON m.id = k.merchant_id ");

ContentKey readKey(const QSqlQuery* q)
{
    ContentKey k;
    k.keyId = q->value(0).toString();
    k.merchantId = q->value(1).toString();
    k.merchantName = q->value(2).toString();
    k.sealedKey = q->value(3).toString();
    k.iv = q->value(4).toString();
    k.title = q->value(5).toString();
    k.sourceFileName = q->value(6).toString();
    k.fileSize = q->value(7).toLongLong();
    k.revoked = q->value(8).toInt() != 0;
    k.createdBy = q->value(9).toString();
    k.createdAt = q->value(10).toLongLong();
    return k;
}

const QString kGrantColumns = QStringLiteral(
    "g.id, g.user_id, u.username, g.merchant_id, m.name, g.key_id, g.ends_at, g.created_at "
    "FROM grants g JOIN users u ON u.id = g.user_id JOIN merchants m ON m.id = g.merchant_id ");

Grant readGrant(const QSqlQuery* q)
{
    Grant g;
    g.id = q->value(0).toString();
    g.userId = q->value(1).toString();
    g.username = q->value(2).toString();
    g.merchantId = q->value(3).toString();
    g.merchantName = q->value(4).toString();
    g.keyId = q->value(5).toString();
    g.endsAt = readOptInt64(q, 6);
    g.createdAt = q->value(7).toLongLong();
    return g;
}

const QString kApiKeyColumns = QStringLiteral(
    "a.id, a.merchant_id, m.name, a.secret_hash, a.label, a.created_at, a.revoked_at, m.disabled "
    "FROM api_keys a JOIN merchants m ON m.id = a.merchant_id ");

ApiKey readApiKey(const QSqlQuery* q)
{
    ApiKey k;
    k.id = q->value(0).toString();
    k.merchantId = q->value(1).toString();
    k.merchantName = q->value(2).toString();
    k.secretHash = q->value(3).toString();
    k.label = q->value(4).toString();
    k.createdAt = q->value(5).toLongLong();
    k.revokedAt = readOptInt64(q, 6);
    k.merchantDisabled = q->value(7).toInt() != 0;
    return k;
}

// Open ends of a time filter, far beyond any stored time. Bound as numbers:
// PostgreSQL cannot type a parameter that is only ever compared with NULL.
constexpr qint64 kTimeFloor = -(qint64(1) << 62);
constexpr qint64 kTimeCeiling = qint64(1) << 62;

// The filter's parameters in the order of the "(? = '' OR col = ?)" clauses
// below: an empty value lets every row through.
QVariantList filterParams(const ListFilter& f)
{
    return {text(f.userId), text(f.userId), text(f.keyId), text(f.keyId)};
}

QVariantList pageParams(const ListFilter& f)
{
    return {f.limit, f.offset};
}

}  // namespace

Store::Insert Store::addMerchant(const Merchant& m)
{
    return inserted(m_db.run(QStringLiteral("INSERT INTO merchants (id, name, created_at) "
                                            "VALUES (?, ?, ?) ON CONFLICT DO NOTHING"),
                             {m.id, m.name, m.createdAt}));
}

std::optional<Merchant> Store::merchantByName(const QString& name, bool* failed)
{
    return one<Merchant>(
        m_db.run(QStringLiteral("SELECT ") + kMerchantColumns + QStringLiteral("WHERE name = ?"),
                 {name}),
        failed, readMerchant);
}

std::optional<Merchant> Store::merchantById(const QString& id, bool* failed)
{
    return one<Merchant>(
        m_db.run(QStringLiteral("SELECT ") + kMerchantColumns + QStringLiteral("WHERE id = ?"),
                 {id}),
        failed, readMerchant);
}

bool Store::listMerchants(QList<Merchant>* out)
{
    return all(
        m_db.run(QStringLiteral("SELECT ") + kMerchantColumns + QStringLiteral("ORDER BY name")),
        out, readMerchant);
}

int Store::setMerchantDisabled(const QString& id, bool disabled)
{
    return affected(m_db.run(QStringLiteral("UPDATE merchants SET disabled = ? WHERE id = ?"),
                             {disabled ? 1 : 0, id}));
}

Store::Insert Store::addUser(const User& u)
{
    return inserted(m_db.run(
        QStringLiteral("INSERT INTO users (id, username, password_hash, role, display_name, "
                       "merchant_id, account_expires_at, disabled, device_limit, created_at) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING"),
        {u.id, u.username, QString::fromLatin1(u.passwordHash), roleName(u.role),
         text(u.displayName), optText(u.merchantId), optInt64(u.accountExpiresAt),
         u.disabled ? 1 : 0, u.deviceLimit, u.createdAt}));
}

std::optional<User> Store::userByName(const QString& username, bool* failed)
{
    return one<User>(
        m_db.run(QStringLiteral("SELECT ") + kUserColumns + QStringLiteral("WHERE u.username = ?"),
                 {username}),
        failed, readUser);
}

std::optional<User> Store::userById(const QString& id, bool* failed)
{
    return one<User>(
        m_db.run(QStringLiteral("SELECT ") + kUserColumns + QStringLiteral("WHERE u.id = ?"), {id}),
        failed, readUser);
}

bool Store::listUsers(QList<User>* out)
{
    return all(
        m_db.run(QStringLiteral("SELECT ") + kUserColumns + QStringLiteral("ORDER BY u.username")),
        out, readUser);
}

bool Store::setUserDisabled(const QString& userId, bool disabled)
{
    if (!m_db.begin()) {
        return false;
    }
    const bool ok = affected(m_db.run(QStringLiteral("UPDATE users SET disabled = ? WHERE id = ?"),
                                      {disabled ? 1 : 0, userId})) >= 0 &&
                    (!disabled || deleteTokensOfUser(userId));
    if (!ok) {
        m_db.rollback();
        return false;
    }
    return m_db.commit();
}

bool Store::setPasswordHash(const QString& userId, const QByteArray& hash)
{
    return affected(m_db.run(QStringLiteral("UPDATE users SET password_hash = ? WHERE id = ?"),
                             {QString::fromLatin1(hash), userId})) >= 0;
}

bool Store::setDeviceLimit(const QString& userId, int limit)
{
    return affected(m_db.run(QStringLiteral("UPDATE users SET device_limit = ? WHERE id = ?"),
                             {limit, userId})) >= 0;
}

bool Store::setAccountExpiry(const QString& userId, std::optional<qint64> expiresAt)
{
    return affected(m_db.run(QStringLiteral("UPDATE users SET account_expires_at = ? WHERE id = ?"),
                             {optInt64(expiresAt), userId})) >= 0;
}

std::optional<Device> Store::device(const QString& userId, const QString& deviceId, bool* failed)
{
    return one<Device>(m_db.run(QStringLiteral("SELECT user_id, device_id, name, first_seen, "
                                               "last_seen, status FROM devices "
                                               "WHERE user_id = ? AND device_id = ?"),
                                {userId, deviceId}),
                       failed, readDevice);
}

std::optional<int> Store::activeDeviceCount(const QString& userId)
{
    bool failed = false;
    return one<int>(m_db.run(QStringLiteral("SELECT COUNT(*) FROM devices "
                                            "WHERE user_id = ? AND status = 'active'"),
                             {userId}),
                    &failed, [](const QSqlQuery* q) { return q->value(0).toInt(); });
}

Store::Insert Store::addDevice(const Device& d)
{
    return inserted(m_db.run(
        QStringLiteral("INSERT INTO devices (user_id, device_id, name, first_seen, last_seen, "
                       "status) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING"),
        {d.userId, d.deviceId, text(d.name), d.firstSeen, d.lastSeen,
         d.rejected ? QStringLiteral("rejected") : QStringLiteral("active")}));
}

Store::DeviceAdmission Store::addDeviceWithinLimit(const Device& d, int limit)
{
    if (!m_db.begin()) {
        return DeviceAdmission::Failed;
    }
    // The idle update locks the user's row (PostgreSQL) or the database
    // (SQLite) first, so a second request for the same user waits here and
    // then counts the device this one adds.
    auto give = [this](DeviceAdmission result) {
        if (result == DeviceAdmission::Added || result == DeviceAdmission::Exists) {
            return m_db.commit() ? result : DeviceAdmission::Failed;
        }
        m_db.rollback();
        return result;
    };
    if (affected(m_db.run(QStringLiteral("UPDATE users SET device_limit = device_limit "
                                         "WHERE id = ?"),
                          {d.userId})) < 0) {
        return give(DeviceAdmission::Failed);
    }
    bool failed = false;
    if (device(d.userId, d.deviceId, &failed)) {
        return give(DeviceAdmission::Exists);
    }
    const auto count = activeDeviceCount(d.userId);
    if (failed || !count) {
        return give(DeviceAdmission::Failed);
    }
    if (limit > 0 && *count >= limit) {
        return give(DeviceAdmission::Full);
    }
    switch (addDevice(d)) {
        case Insert::Done:
            return give(DeviceAdmission::Added);
        case Insert::Conflict:
            return give(DeviceAdmission::Exists);
        case Insert::Failed:
            break;
    }
    return give(DeviceAdmission::Failed);
}

bool Store::touchDevice(const QString& userId, const QString& deviceId, const QString& name,
                        qint64 now)
{
    return affected(m_db.run(QStringLiteral("UPDATE devices SET name = ?, last_seen = ? "
                                            "WHERE user_id = ? AND device_id = ?"),
                             {text(name), now, userId, deviceId})) >= 0;
}

int Store::setDeviceRejected(const QString& userId, const QString& deviceId, bool rejected)
{
    return affected(m_db.run(
        QStringLiteral("UPDATE devices SET status = ? WHERE user_id = ? AND device_id = ?"),
        {rejected ? QStringLiteral("rejected") : QStringLiteral("active"), userId, deviceId}));
}

int Store::deleteDevice(const QString& userId, const QString& deviceId)
{
    return affected(
        m_db.run(QStringLiteral("DELETE FROM devices WHERE user_id = ? AND device_id = ?"),
                 {userId, deviceId}));
}

bool Store::listDevices(const QString& userId, QList<Device>* out)
{
    return all(m_db.run(QStringLiteral("SELECT user_id, device_id, name, first_seen, last_seen, "
                                       "status FROM devices WHERE user_id = ? ORDER BY first_seen"),
                        {userId}),
               out, readDevice);
}

Store::Insert Store::addKey(const ContentKey& k)
{
    return inserted(m_db.run(
        QStringLiteral("INSERT INTO content_keys (key_id, merchant_id, sealed_key, iv, title, "
                       "source_file_name, file_size, revoked, created_by, created_at) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING"),
        {k.keyId, k.merchantId, k.sealedKey, k.iv, text(k.title), text(k.sourceFileName),
         qlonglong(k.fileSize), k.revoked ? 1 : 0, optText(k.createdBy), k.createdAt}));
}

std::optional<ContentKey> Store::keyById(const QString& keyId, bool* failed)
{
    return one<ContentKey>(
        m_db.run(QStringLiteral("SELECT ") + kKeyColumns + QStringLiteral("WHERE k.key_id = ?"),
                 {keyId}),
        failed, readKey);
}

bool Store::listKeys(const QString& merchantId, QList<ContentKey>* out)
{
    if (merchantId.isEmpty()) {
        return all(m_db.run(QStringLiteral("SELECT ") + kKeyColumns +
                            QStringLiteral("ORDER BY k.created_at, k.key_id")),
                   out, readKey);
    }
    return all(
        m_db.run(QStringLiteral("SELECT ") + kKeyColumns +
                     QStringLiteral("WHERE k.merchant_id = ? ORDER BY k.created_at, k.key_id"),
                 {merchantId}),
        out, readKey);
}

int Store::setKeyRevoked(const QString& keyId, bool revoked)
{
    return affected(m_db.run(QStringLiteral("UPDATE content_keys SET revoked = ? WHERE key_id = ?"),
                             {revoked ? 1 : 0, keyId}));
}

bool Store::addGrant(const Grant& g)
{
    return inserted(m_db.run(QStringLiteral("INSERT INTO grants (id, user_id, merchant_id, key_id, "
                                            "ends_at, created_at) VALUES (?, ?, ?, ?, ?, ?)"),
                             {g.id, g.userId, g.merchantId, optText(g.keyId), optInt64(g.endsAt),
                              g.createdAt})) == Insert::Done;
}

int Store::deleteGrant(const QString& grantId)
{
    return affected(m_db.run(QStringLiteral("DELETE FROM grants WHERE id = ?"), {grantId}));
}

bool Store::listGrants(const QString& userId, QList<Grant>* out)
{
    if (userId.isEmpty()) {
        return all(m_db.run(QStringLiteral("SELECT ") + kGrantColumns +
                            QStringLiteral("ORDER BY u.username, g.created_at")),
                   out, readGrant);
    }
    return all(m_db.run(QStringLiteral("SELECT ") + kGrantColumns +
                            QStringLiteral("WHERE g.user_id = ? ORDER BY g.created_at"),
                        {userId}),
               out, readGrant);
}

bool Store::grantEndsFor(const QString& userId, const QString& keyId, const QString& merchantId,
                         QList<std::optional<qint64>>* out)
{
    return all(m_db.run(QStringLiteral("SELECT ends_at FROM grants WHERE user_id = ? AND "
                                       "(key_id = ? OR (key_id IS NULL AND merchant_id = ?))"),
                        {userId, keyId, merchantId}),
               out, [](const QSqlQuery* q) { return readOptInt64(q, 0); });
}

std::optional<KeyRequestView> Store::keyRequestView(const QString& tokenHash,
                                                    const QString& deviceId, const QString& keyId,
                                                    qint64 now)
{
    // One statement instead of five: each statement is a read transaction of
    // its own (locks taken and dropped) plus the driver's per-statement work,
    // which together cost more than the lookups. Left joins keep the token row
    // when the device or key is unknown.
    KeyRequestView view;
    const bool ok = m_db.select(
        QStringLiteral(
            "SELECT t.user_id, t.device_id, t.issued_at, t.access_expires_at, t.renew_until, "
            "t.session_started, u.id, u.role, u.merchant_id, u.account_expires_at, u.disabled, "
            "u.device_limit, d.name, d.last_seen, d.status, k.key_id, k.merchant_id, "
            "k.sealed_key, k.iv, k.revoked, "
            "(SELECT MAX(CASE WHEN g.ends_at IS NULL OR g.ends_at > ? THEN 2 ELSE 1 END) "
            " FROM grants g WHERE g.user_id = t.user_id AND (g.key_id = k.key_id OR "
            " (g.key_id IS NULL AND g.merchant_id = k.merchant_id))) "
            "FROM tokens t LEFT JOIN users u ON u.id = t.user_id "
            "LEFT JOIN devices d ON d.user_id = t.user_id AND d.device_id = ? "
            "LEFT JOIN content_keys k ON k.key_id = ? "
            "WHERE t.token_hash = ?"),
        {now, text(deviceId), text(keyId), tokenHash}, [&](const Row& r) {
            TokenRecord t;
            t.tokenHash = tokenHash;
            t.userId = r.text(0);
            t.deviceId = r.text(1);
            t.issuedAt = r.int64(2);
            t.accessExpiresAt = r.int64(3);
            t.renewUntil = r.int64(4);
            t.sessionStartedAt = r.optInt64(5).value_or(t.issuedAt);
            view.token = t;
            if (!r.isNull(6)) {
                User u;
                u.id = r.text(6);
                u.role = readRole(r.text(7));
                u.merchantId = r.text(8);
                u.accountExpiresAt = r.optInt64(9);
                u.disabled = r.int64(10) != 0;
                u.deviceLimit = int(r.int64(11));
                view.user = u;
            }
            if (!r.isNull(14)) {
                Device d;
                d.userId = t.userId;
                d.deviceId = deviceId;
                d.name = r.text(12);
                d.lastSeen = r.int64(13);
                d.rejected = r.text(14) == QStringLiteral("rejected");
                view.device = d;
            }
            if (!r.isNull(15)) {
                ContentKey k;
                k.keyId = r.text(15);
                k.merchantId = r.text(16);
                k.sealedKey = r.text(17);
                k.iv = r.text(18);
                k.revoked = r.int64(19) != 0;
                view.key = k;
            }
            view.grants = r.isNull(20)       ? KeyRequestView::GrantState::None
                          : r.int64(20) == 2 ? KeyRequestView::GrantState::Current
                                             : KeyRequestView::GrantState::Expired;
        });
    if (!ok) {
        return std::nullopt;
    }
    return view;
}

bool Store::addToken(const TokenRecord& t)
{
    return inserted(m_db.run(
               QStringLiteral("INSERT INTO tokens (token_hash, user_id, device_id, issued_at, "
                              "access_expires_at, renew_until, session_started) "
                              "VALUES (?, ?, ?, ?, ?, ?, ?)"),
               {t.tokenHash, t.userId, optText(t.deviceId), t.issuedAt, t.accessExpiresAt,
                t.renewUntil, t.sessionStartedAt})) == Insert::Done;
}

std::optional<TokenRecord> Store::tokenByHash(const QString& hash, bool* failed)
{
    return one<TokenRecord>(
        m_db.run(QStringLiteral("SELECT token_hash, user_id, device_id, issued_at, "
                                "access_expires_at, renew_until, session_started "
                                "FROM tokens WHERE token_hash = ?"),
                 {hash}),
        failed, [](const QSqlQuery* q) {
            TokenRecord t;
            t.tokenHash = q->value(0).toString();
            t.userId = q->value(1).toString();
            t.deviceId = q->value(2).toString();
            t.issuedAt = q->value(3).toLongLong();
            t.accessExpiresAt = q->value(4).toLongLong();
            t.renewUntil = q->value(5).toLongLong();
            // Tokens from before sessions were tracked count from their issue.
            t.sessionStartedAt = readOptInt64(q, 6).value_or(t.issuedAt);
            return t;
        });
}

int Store::deleteToken(const QString& hash)
{
    return affected(m_db.run(QStringLiteral("DELETE FROM tokens WHERE token_hash = ?"), {hash}));
}

int Store::bindTokenDevice(const QString& hash, const QString& deviceId)
{
    return affected(m_db.run(QStringLiteral("UPDATE tokens SET device_id = ? "
                                            "WHERE token_hash = ? AND device_id IS NULL"),
                             {deviceId, hash}));
}

bool Store::deleteTokensOfUser(const QString& userId)
{
    return affected(m_db.run(QStringLiteral("DELETE FROM tokens WHERE user_id = ?"), {userId})) >=
           0;
}

bool Store::purgeTokens(qint64 now)
{
    return affected(m_db.run(QStringLiteral("DELETE FROM tokens WHERE renew_until < ?"), {now})) >=
           0;
}

bool Store::addConsoleSession(const ConsoleSession& s)
{
    return inserted(m_db.run(
               QStringLiteral("INSERT INTO console_sessions (session_hash, user_id, csrf_token, "
                              "created_at, expires_at) VALUES (?, ?, ?, ?, ?)"),
               {s.sessionHash, s.userId, s.csrfToken, s.createdAt, s.expiresAt})) == Insert::Done;
}

std::optional<ConsoleSession> Store::consoleSessionByHash(const QString& hash, bool* failed)
{
    return one<ConsoleSession>(
        m_db.run(QStringLiteral("SELECT session_hash, user_id, csrf_token, created_at, expires_at "
                                "FROM console_sessions WHERE session_hash = ?"),
                 {hash}),
        failed, [](const QSqlQuery* q) {
            ConsoleSession s;
            s.sessionHash = q->value(0).toString();
            s.userId = q->value(1).toString();
            s.csrfToken = q->value(2).toString();
            s.createdAt = q->value(3).toLongLong();
            s.expiresAt = q->value(4).toLongLong();
            return s;
        });
}

int Store::deleteConsoleSession(const QString& hash)
{
    return affected(
        m_db.run(QStringLiteral("DELETE FROM console_sessions WHERE session_hash = ?"), {hash}));
}

bool Store::setConsoleSessionEnd(const QString& hash, qint64 expiresAt)
{
    return affected(m_db.run(
               QStringLiteral("UPDATE console_sessions SET expires_at = ? WHERE session_hash = ?"),
               {expiresAt, hash})) >= 0;
}

bool Store::purgeConsoleSessions(qint64 now)
{
    return affected(m_db.run(QStringLiteral("DELETE FROM console_sessions WHERE expires_at <= ?"),
                             {now})) >= 0;
}

bool Store::addLoginFailure(const QString& subject, qint64 at)
{
    return affected(
               m_db.run(QStringLiteral("INSERT INTO login_failures (subject, at) VALUES (?, ?)"),
                        {subject, at})) >= 0;
}

std::optional<int> Store::reserveLoginAttempt(const QString& subject, const QString& attempt,
                                              qint64 at, qint64 since)
{
    if (affected(m_db.run(
            QStringLiteral("INSERT INTO login_failures (subject, at, attempt) VALUES (?, ?, ?)"),
            {subject, at, attempt})) < 0) {
        return std::nullopt;
    }
    return loginFailuresSince(subject, since);
}

bool Store::releaseLoginAttempt(const QString& attempt)
{
    return affected(m_db.run(QStringLiteral("DELETE FROM login_failures WHERE attempt = ?"),
                             {attempt})) >= 0;
}

std::optional<int> Store::loginFailuresSince(const QString& subject, qint64 since)
{
    bool failed = false;
    return one<int>(m_db.run(QStringLiteral("SELECT COUNT(*) FROM login_failures "
                                            "WHERE subject = ? AND at > ?"),
                             {subject, since}),
                    &failed, [](const QSqlQuery* q) { return q->value(0).toInt(); });
}

bool Store::clearLoginFailures(const QString& subject)
{
    return affected(m_db.run(QStringLiteral("DELETE FROM login_failures WHERE subject = ?"),
                             {subject})) >= 0;
}

bool Store::purgeLoginFailures(qint64 before)
{
    return affected(
               m_db.run(QStringLiteral("DELETE FROM login_failures WHERE at < ?"), {before})) >= 0;
}

Store::Insert Store::addApiKey(const ApiKey& k)
{
    return inserted(m_db.run(
        QStringLiteral("INSERT INTO api_keys (id, merchant_id, secret_hash, label, created_at) "
                       "VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING"),
        {k.id, k.merchantId, k.secretHash, text(k.label), k.createdAt}));
}

std::optional<ApiKey> Store::apiKeyByHash(const QString& secretHash, bool* failed)
{
    return one<ApiKey>(m_db.run(QStringLiteral("SELECT ") + kApiKeyColumns +
                                    QStringLiteral("WHERE a.secret_hash = ?"),
                                {secretHash}),
                       failed, readApiKey);
}

bool Store::listApiKeys(const QString& merchantId, QList<ApiKey>* out)
{
    return all(m_db.run(QStringLiteral("SELECT ") + kApiKeyColumns +
                            QStringLiteral("WHERE a.merchant_id = ? ORDER BY a.created_at, a.id"),
                        {merchantId}),
               out, readApiKey);
}

int Store::revokeApiKey(const QString& id, qint64 at, const QString& merchantId)
{
    if (merchantId.isEmpty()) {
        return affected(m_db.run(QStringLiteral("UPDATE api_keys SET revoked_at = ? "
                                                "WHERE id = ? AND revoked_at IS NULL"),
                                 {at, id}));
    }
    return affected(m_db.run(QStringLiteral("UPDATE api_keys SET revoked_at = ? WHERE id = ? "
                                            "AND merchant_id = ? AND revoked_at IS NULL"),
                             {at, id, merchantId}));
}

// The viewers a merchant reaches: those it made and those it has granted
// something to. Binds the merchant's id twice; `u` is the users table.
const QString kReachedByMerchant = QStringLiteral(
    "u.role = 'viewer' AND (u.merchant_id = ? OR EXISTS (SELECT 1 FROM grants g "
    "WHERE g.user_id = u.id AND g.merchant_id = ?))");

std::optional<User> Store::merchantViewer(const QString& merchantId, const QString& userId,
                                          bool* failed)
{
    return one<User>(m_db.run(QStringLiteral("SELECT ") + kUserColumns +
                                  QStringLiteral("WHERE u.id = ? AND ") + kReachedByMerchant,
                              {userId, merchantId, merchantId}),
                     failed, readUser);
}

bool Store::listMerchantViewers(const QString& merchantId, const ListFilter& page, QList<User>* out)
{
    return all(
        m_db.run(QStringLiteral("SELECT ") + kUserColumns + QStringLiteral("WHERE ") +
                     kReachedByMerchant + QStringLiteral(" ORDER BY u.username LIMIT ? OFFSET ?"),
                 QVariantList{merchantId, merchantId} + pageParams(page)),
        out, readUser);
}

int Store::resetDevices(const QString& userId)
{
    if (!m_db.begin()) {
        return -1;
    }
    const int removed = affected(m_db.run(
        QStringLiteral("DELETE FROM devices WHERE user_id = ? AND status = 'active'"), {userId}));
    if (removed < 0 || !deleteTokensOfUser(userId) || !m_db.commit()) {
        m_db.rollback();
        return -1;
    }
    return removed;
}

bool Store::listKeysPage(const QString& merchantId, const ListFilter& page, QList<ContentKey>* out)
{
    return all(m_db.run(QStringLiteral("SELECT ") + kKeyColumns +
                            QStringLiteral("WHERE k.merchant_id = ? ORDER BY k.created_at, "
                                           "k.key_id LIMIT ? OFFSET ?"),
                        QVariantList{merchantId} + pageParams(page)),
               out, readKey);
}

bool Store::setGrants(const QList<Grant>& wanted, QList<Grant>* out)
{
    out->clear();
    if (wanted.isEmpty() || !m_db.begin()) {
        return wanted.isEmpty();
    }
    // The idle update takes the viewer's row lock (the whole database on
    // SQLite): a second call for the same viewer waits, then finds this one's grants.
    bool ok = affected(m_db.run(QStringLiteral("UPDATE users SET device_limit = device_limit "
                                               "WHERE id = ?"),
                                {wanted.first().userId})) >= 0;
    const QString match =
        QStringLiteral("user_id = ? AND merchant_id = ? AND COALESCE(key_id, '') = ?");
    for (const Grant& g : wanted) {
        if (!ok) {
            break;
        }
        const QVariantList key{g.userId, g.merchantId, text(g.keyId)};
        const int updated =
            affected(m_db.run(QStringLiteral("UPDATE grants SET ends_at = ? WHERE ") + match,
                              QVariantList{optInt64(g.endsAt)} + key));
        ok = updated > 0 || (updated == 0 && addGrant(g));
        QList<Grant> now;
        ok = ok && all(m_db.run(QStringLiteral("SELECT ") + kGrantColumns +
                                    QStringLiteral("WHERE g.user_id = ? AND g.merchant_id = ? AND "
                                                   "COALESCE(g.key_id, '') = ? "
                                                   "ORDER BY g.created_at, g.id"),
                                key),
                       &now, readGrant);
        ok = ok && !now.isEmpty();
        if (ok) {
            out->append(now.first());
        }
    }
    if (!ok || !m_db.commit()) {
        m_db.rollback();
        out->clear();
        return false;
    }
    return true;
}

int Store::deleteMerchantGrant(const QString& merchantId, const QString& grantId)
{
    return affected(m_db.run(QStringLiteral("DELETE FROM grants WHERE id = ? AND merchant_id = ?"),
                             {grantId, merchantId}));
}

bool Store::listMerchantGrants(const QString& merchantId, const ListFilter& filter,
                               QList<Grant>* out)
{
    return all(m_db.run(QStringLiteral("SELECT ") + kGrantColumns +
                            QStringLiteral("WHERE g.merchant_id = ? AND (? = '' OR g.user_id = ?) "
                                           "AND (? = '' OR g.key_id = ?) "
                                           "ORDER BY g.created_at, g.id LIMIT ? OFFSET ?"),
                        QVariantList{merchantId} + filterParams(filter) + pageParams(filter)),
               out, readGrant);
}

bool Store::addKeyRequests(const KeyRequestBatch& entries)
{
    if (entries.isEmpty()) {
        return true;
    }
    QList<QVariantList> rows;
    rows.reserve(entries.size());
    if (m_db.isPostgres()) {
        for (const KeyRequestEntry& e : entries.entries()) {
            rows.append({e.id, e.at, optText(e.userId), text(e.deviceId), text(e.deviceName),
                         text(e.clientAddress), text(e.keyId), optText(e.merchantId),
                         text(e.result)});
        }
    } else {
        // SQLite takes the packed UTF-8 as it is, without a copy.
        entries.forEach([&](const KeyRequestBatch::Row& r) {
            const auto utf8 = [&](int i) {
                return QVariant(QByteArray::fromRawData(r.texts[i].data(), r.texts[i].size()));
            };
            const auto optional = [&](int i) {
                return r.texts[i].isEmpty() ? nullText() : utf8(i);
            };
            rows.append({utf8(0), r.at, optional(1), utf8(2), utf8(3), utf8(4), utf8(5),
                         optional(6), utf8(7)});
        });
    }
    if (!m_db.begin()) {
        return false;
    }
    if (!m_db.runMany(QStringLiteral("INSERT INTO key_requests (id, at, user_id, device_id, "
                                     "device_name, client_address, key_id, merchant_id, result) "
                                     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                      rows) ||
        !m_db.commit()) {
        m_db.rollback();
        return false;
    }
    return true;
}

bool Store::listKeyRequests(const QString& merchantId, const ListFilter& filter,
                            QList<KeyRequestEntry>* out)
{
    return all(
        m_db.run(
            QStringLiteral("SELECT r.id, r.at, r.user_id, u.username, r.device_id, "
                           "r.device_name, r.client_address, r.key_id, r.merchant_id, "
                           "r.result FROM key_requests r LEFT JOIN users u ON u.id = r.user_id "
                           "WHERE r.merchant_id = ? AND (? = '' OR r.user_id = ?) "
                           "AND (? = '' OR r.key_id = ?) AND r.at >= ? AND r.at < ? "
                           "ORDER BY r.at DESC, r.id LIMIT ? OFFSET ?"),
            QVariantList{merchantId} + filterParams(filter) +
                QVariantList{filter.from.value_or(kTimeFloor), filter.to.value_or(kTimeCeiling)} +
                pageParams(filter)),
        out, [](const QSqlQuery* q) {
            KeyRequestEntry e;
            e.id = q->value(0).toString();
            e.at = q->value(1).toLongLong();
            e.userId = q->value(2).toString();
            e.username = q->value(3).toString();
            e.deviceId = q->value(4).toString();
            e.deviceName = q->value(5).toString();
            e.clientAddress = q->value(6).toString();
            e.keyId = q->value(7).toString();
            e.merchantId = q->value(8).toString();
            e.result = q->value(9).toString();
            return e;
        });
}

bool Store::listSharedViewers(const QString& merchantId, qint64 from, QList<SharedViewer>* out)
{
    // Requests without a device id (a refused token) say nothing about devices.
    return all(
        m_db.run(
            QStringLiteral(
                "SELECT r.user_id, u.username, u.device_limit, "
                "COUNT(DISTINCT NULLIF(r.device_id, '')), COUNT(DISTINCT r.client_address) "
                "FROM key_requests r JOIN users u ON u.id = r.user_id "
                "WHERE r.merchant_id = ? AND r.at >= ? AND u.device_limit > 0 AND ") +
                kReachedByMerchant +
                QStringLiteral(" GROUP BY r.user_id, u.username, u.device_limit "
                               "HAVING COUNT(DISTINCT NULLIF(r.device_id, '')) > u.device_limit "
                               "OR COUNT(DISTINCT r.client_address) > u.device_limit "
                               "ORDER BY u.username"),
            {merchantId, from, merchantId, merchantId}),
        out, [](const QSqlQuery* q) {
            SharedViewer v;
            v.userId = q->value(0).toString();
            v.username = q->value(1).toString();
            v.deviceLimit = q->value(2).toInt();
            v.devices = q->value(3).toInt();
            v.addresses = q->value(4).toInt();
            return v;
        });
}

namespace {

// 16 lower-case hex digits, by hand: formatting them cost the key path more
// than the rest of its log entry.
void writeHex16(quint64 value, char16_t* out)
{
    for (int i = 0; i < 16; ++i) {
        out[i] = u"0123456789abcdef"[(value >> (60 - 4 * i)) & 0xf];
    }
}

}  // namespace

QString Store::keyRequestIdPrefix(qint64 at)
{
    char16_t text[16];
    writeHex16(quint64(std::max<qint64>(at, 0)), text);
    return QString(reinterpret_cast<const QChar*>(text), 16);
}

QString Store::keyRequestId(qint64 at, quint64 distinct)
{
    char16_t text[32];
    writeHex16(quint64(std::max<qint64>(at, 0)), text);
    writeHex16(distinct, text + 16);
    return QString(reinterpret_cast<const QChar*>(text), 32);
}

bool Store::purgeKeyRequests(qint64 before)
{
    return affected(m_db.run(QStringLiteral("DELETE FROM key_requests WHERE id < ?"),
                             {keyRequestIdPrefix(before)})) >= 0;
}
