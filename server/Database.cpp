#include "Database.h"

#include <sqlite3.h>

#include <QAtomicInt>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringEncoder>
#include <QUrl>
#include <QUrlQuery>
#include <cstdio>

namespace {

QAtomicInt g_connectionCounter;

struct Migration
{
    int version;
    QStringList statements;
};

// Shops call in with API keys of their own (stored as hashes, like
// tokens); a merchant can be switched off as a whole; every key request
// is kept, so a shop can answer "why can't I play this". A key request's id
// begins with its time, so new rows go to the end of the primary key and old
// ones are purged through it, with no second index to keep up.
QStringList apiKeysAndKeyLog()
{
    return {
        R"(ALTER TABLE merchants ADD COLUMN disabled INTEGER NOT NULL DEFAULT 0)",
        R"(CREATE TABLE api_keys (
             id TEXT PRIMARY KEY,
             merchant_id TEXT NOT NULL REFERENCES merchants(id),
             secret_hash TEXT NOT NULL UNIQUE,
             label TEXT NOT NULL,
             created_at BIGINT NOT NULL,
             revoked_at BIGINT))",
        R"(CREATE INDEX api_keys_merchant ON api_keys(merchant_id))",
        R"(CREATE TABLE key_requests (
             id TEXT PRIMARY KEY,
             at BIGINT NOT NULL,
             user_id TEXT,
             device_id TEXT NOT NULL,
             device_name TEXT NOT NULL,
             client_address TEXT NOT NULL,
             key_id TEXT NOT NULL,
             merchant_id TEXT,
             result TEXT NOT NULL))",
        R"(CREATE INDEX key_requests_merchant ON key_requests(merchant_id, at))",
        R"(CREATE INDEX grants_merchant ON grants(merchant_id))",
    };
}

// Types kept to the common ground of both databases: TEXT, INTEGER, BIGINT.
// Times are milliseconds since the epoch (UTC); flags are 0/1.
QStringList firstSchema()
{
    return {
        R"(CREATE TABLE merchants (
             id TEXT PRIMARY KEY,
             name TEXT NOT NULL UNIQUE,
             created_at BIGINT NOT NULL))",
        R"(CREATE TABLE users (
             id TEXT PRIMARY KEY,
             username TEXT NOT NULL UNIQUE,
             password_hash TEXT NOT NULL,
             role TEXT NOT NULL CHECK (role IN ('viewer', 'merchant', 'admin')),
             display_name TEXT NOT NULL,
             merchant_id TEXT REFERENCES merchants(id),
             account_expires_at BIGINT,
             disabled INTEGER NOT NULL DEFAULT 0,
             device_limit INTEGER NOT NULL DEFAULT 2,
             created_at BIGINT NOT NULL))",
        R"(CREATE TABLE devices (
             user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
             device_id TEXT NOT NULL,
             name TEXT NOT NULL,
             first_seen BIGINT NOT NULL,
             last_seen BIGINT NOT NULL,
             status TEXT NOT NULL DEFAULT 'active' CHECK (status IN ('active', 'rejected')),
             PRIMARY KEY (user_id, device_id)))",
        R"(CREATE TABLE content_keys (
             key_id TEXT PRIMARY KEY,
             merchant_id TEXT NOT NULL REFERENCES merchants(id),
             sealed_key TEXT NOT NULL,
             iv TEXT NOT NULL,
             title TEXT NOT NULL,
             source_file_name TEXT NOT NULL,
             file_size BIGINT NOT NULL,
             revoked INTEGER NOT NULL DEFAULT 0,
             created_by TEXT,
             created_at BIGINT NOT NULL))",
        R"(CREATE INDEX content_keys_merchant ON content_keys(merchant_id))",
        R"(CREATE TABLE grants (
             id TEXT PRIMARY KEY,
             user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
             merchant_id TEXT NOT NULL REFERENCES merchants(id),
             key_id TEXT REFERENCES content_keys(key_id),
             ends_at BIGINT,
             created_at BIGINT NOT NULL))",
        R"(CREATE INDEX grants_user ON grants(user_id))",
        R"(CREATE TABLE tokens (
             token_hash TEXT PRIMARY KEY,
             user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
             device_id TEXT,
             issued_at BIGINT NOT NULL,
             access_expires_at BIGINT NOT NULL,
             renew_until BIGINT NOT NULL))",
        R"(CREATE INDEX tokens_user ON tokens(user_id))",
        R"(CREATE TABLE login_failures (
             subject TEXT NOT NULL,
             at BIGINT NOT NULL))",
        R"(CREATE INDEX login_failures_subject ON login_failures(subject, at))",
    };
}

const QList<Migration>& migrations()
{
    static const QList<Migration> list = {
        {1, firstSchema()},
        // Login attempts are counted before the password is checked, each under
        // an id so a success can take its own back; every session remembers
        // when its login happened, however often its token was renewed.
        {2,
         {
             R"(ALTER TABLE login_failures ADD COLUMN attempt TEXT)",
             R"(CREATE INDEX login_failures_attempt ON login_failures(attempt))",
             R"(ALTER TABLE tokens ADD COLUMN session_started BIGINT)",
         }},
        {3, apiKeysAndKeyLog()},
        // The console's logins: the cookie is kept only as its hash; the
        // token its page must echo on every change is not a credential on
        // its own, so it is kept as it is and compared.
        {4,
         {
             R"(CREATE TABLE console_sessions (
                  session_hash TEXT PRIMARY KEY,
                  user_id TEXT NOT NULL REFERENCES users(id),
                  csrf_token TEXT NOT NULL,
                  created_at BIGINT NOT NULL,
                  expires_at BIGINT NOT NULL))",
             R"(CREATE INDEX console_sessions_user ON console_sessions(user_id))",
         }},
    };
    return list;
}

void logDbError(const char* what, const QSqlError& e)
{
    std::fprintf(stderr, "database: %s: %s\n", what, qPrintable(e.text()));
}

class QtRow : public Row
{
public:
    explicit QtRow(const QSqlQuery* q) : m_q(q) {}
    bool isNull(int column) const override { return m_q->isNull(column); }
    QString text(int column) const override { return m_q->value(column).toString(); }
    qint64 int64(int column) const override { return m_q->value(column).toLongLong(); }

private:
    const QSqlQuery* m_q;
};

class SqliteRow : public Row
{
public:
    explicit SqliteRow(sqlite3_stmt* s) : m_s(s) {}
    bool isNull(int column) const override
    {
        return sqlite3_column_type(m_s, column) == SQLITE_NULL;
    }
    QString text(int column) const override
    {
        const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_s, column));
        return data ? QString::fromUtf8(data, sqlite3_column_bytes(m_s, column)) : QString();
    }
    qint64 int64(int column) const override { return sqlite3_column_int64(m_s, column); }

private:
    sqlite3_stmt* m_s;
};

// Text is encoded into `scratch`, which must outlive the statement's step,
// and bound from there without a copy: the key path binds a dozen texts a
// request, and two allocations each (ours and SQLite's copy) showed. With
// no room (more values than the statement has parameters) SQLite copies.
bool bindSqlite(sqlite3_stmt* s, int index, const QVariant& v, QByteArray* scratch)
{
    if (v.isNull()) {
        return sqlite3_bind_null(s, index) == SQLITE_OK;
    }
    switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::Bool:
            return sqlite3_bind_int64(s, index, v.toLongLong()) == SQLITE_OK;
        case QMetaType::QByteArray: {
            // UTF-8 text, alive until the statement is reset. Never a null
            // pointer, which SQLite would take for NULL.
            const QByteArray& utf8 = *static_cast<const QByteArray*>(v.constData());
            return sqlite3_bind_text(s, index, utf8.isEmpty() ? "" : utf8.constData(),
                                     int(utf8.size()), SQLITE_STATIC) == SQLITE_OK;
        }
        case QMetaType::QString: {
            if (!scratch) {
                const QByteArray utf8 = v.toString().toUtf8();
                return sqlite3_bind_text(s, index, utf8.constData(), int(utf8.size()),
                                         SQLITE_TRANSIENT) == SQLITE_OK;
            }
            const QString& text = *static_cast<const QString*>(v.constData());
            QStringEncoder encoder(QStringEncoder::Utf8);
            scratch->resize(encoder.requiredSpace(text.size()));
            const char* end = encoder.appendToBuffer(scratch->data(), text);
            return sqlite3_bind_text(s, index, scratch->constData(),
                                     int(end - scratch->constData()), SQLITE_STATIC) == SQLITE_OK;
        }
        default: {
            const QByteArray utf8 = v.toString().toUtf8();
            return sqlite3_bind_text(s, index, utf8.constData(), int(utf8.size()),
                                     SQLITE_TRANSIENT) == SQLITE_OK;
        }
    }
}

void logSqliteError(const char* what, sqlite3* db)
{
    std::fprintf(stderr, "database: %s: %s\n", what, sqlite3_errmsg(db));
}

}  // namespace

QVariant nullText()
{
    return QVariant(QMetaType::fromType<QString>());
}

QVariant nullInt64()
{
    return QVariant(QMetaType::fromType<qlonglong>());
}

std::optional<DbConfig> parseDatabaseUrl(const QString& url, QString* error)
{
    DbConfig c;
    if (url.startsWith(QStringLiteral("sqlite:"))) {
        c.kind = DbConfig::Kind::Sqlite;
        c.sqlitePath = url.mid(7);
        if (c.sqlitePath.startsWith(QStringLiteral("//"))) {
            c.sqlitePath = c.sqlitePath.mid(2);  // sqlite:///abs/path
        }
        if (c.sqlitePath.isEmpty()) {
            *error = QStringLiteral("sqlite: URL without a file path");
            return std::nullopt;
        }
        return c;
    }
    const QUrl u(url, QUrl::StrictMode);
    if (!u.isValid() ||
        (u.scheme() != QStringLiteral("postgresql") && u.scheme() != QStringLiteral("postgres"))) {
        *error = QStringLiteral("database must be sqlite:PATH or postgresql://...");
        return std::nullopt;
    }
    c.kind = DbConfig::Kind::Postgres;
    c.host = u.host();
    c.port = u.port(-1);
    c.user = u.userName();
    c.password = u.password();
    c.database = u.path().mid(1);
    QStringList options;
    const QUrlQuery query(u);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QStringLiteral("host")) {
            c.host = value;
        } else if (key == QStringLiteral("port")) {
            bool ok = false;
            c.port = value.toInt(&ok);
            if (!ok) {
                *error = QStringLiteral("port is not a number");
                return std::nullopt;
            }
        } else if (key == QStringLiteral("user")) {
            c.user = value;
        } else if (key == QStringLiteral("password")) {
            c.password = value;
        } else {
            if (key.contains(QLatin1Char(';')) || value.contains(QLatin1Char(';'))) {
                *error = QStringLiteral("option %1 contains ';'").arg(key);
                return std::nullopt;
            }
            options << key + QLatin1Char('=') + value;
        }
    }
    if (c.database.isEmpty()) {
        *error = QStringLiteral("postgresql URL without a database name");
        return std::nullopt;
    }
    c.connectOptions = options.join(QLatin1Char(';'));
    return c;
}

Database::~Database()
{
    close();
}

bool Database::open(const DbConfig& config, QString* error)
{
    close();
    m_kind = config.kind;
    m_name = QStringLiteral("veilcast-%1").arg(g_connectionCounter.fetchAndAddRelaxed(1));
    if (config.kind == DbConfig::Kind::Sqlite) {
        // SQLite counts every allocation under one process-wide mutex unless
        // told otherwise; with a connection per thread, every statement then
        // waits on the others. And as no connection is ever used by two
        // threads, SQLite's own locks around each call are not needed either.
        // Both only take before SQLite starts, which is at the first
        // connection.
        static const bool kConfigured = [] {
            sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
            sqlite3_config(SQLITE_CONFIG_MULTITHREAD);
            return true;
        }();
        Q_UNUSED(kConfigured);
        const QString dir = QFileInfo(config.sqlitePath).absolutePath();
        if (!QDir().mkpath(dir)) {
            *error = QStringLiteral("cannot create %1").arg(dir);
            return false;
        }
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(config.sqlitePath);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    } else {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
        m_db.setHostName(config.host);
        if (config.port > 0) {
            m_db.setPort(config.port);
        }
        m_db.setUserName(config.user);
        m_db.setPassword(config.password);
        m_db.setDatabaseName(config.database);
        m_db.setConnectOptions(config.connectOptions);
    }
    if (!m_db.isValid()) {
        *error = QStringLiteral("the Qt SQL driver for this database is not installed");
        return false;
    }
    if (!m_db.open()) {
        *error = m_db.lastError().text();
        return false;
    }
    if (m_kind == DbConfig::Kind::Sqlite) {
        // WAL lets the admin command write while the server reads; foreign
        // keys are off by default in SQLite.
        for (const char* pragma :
             {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON"}) {
            QSqlQuery q(m_db);
            if (!q.exec(QString::fromLatin1(pragma))) {
                *error = q.lastError().text();
                return false;
            }
        }
    }
    return true;
}

void Database::close()
{
    qDeleteAll(m_cache);
    m_cache.clear();
    for (const auto& [sql, prepared] : m_sqliteCache) {
        sqlite3_finalize(prepared->statement);
    }
    m_sqliteCache.clear();
    m_sqlite = nullptr;
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
}

QSqlQuery* Database::run(const QString& sql, const QVariantList& params)
{
    QSqlQuery* q = m_cache.value(sql);
    if (!q) {
        q = new QSqlQuery(m_db);
        // Every caller reads its rows once, front to back. A scrollable query
        // makes the SQLite driver set up (and tear down) a 128-row cache of
        // values on every exec, which cost more than the query itself.
        q->setForwardOnly(true);
        if (!q->prepare(sql)) {
            logDbError("prepare", q->lastError());
            delete q;
            return nullptr;
        }
        m_cache.insert(sql, q);
    }
    for (int i = 0; i < params.size(); ++i) {
        q->bindValue(i, params.at(i));
    }
    if (!q->exec()) {
        logDbError("exec", q->lastError());
        q->finish();
        return nullptr;
    }
    return q;
}

sqlite3* Database::sqliteHandle()
{
    // Asked on every statement, and the driver's answer (a QVariant with a
    // type name to compare) costs more than keeping it while open.
    if (m_kind != DbConfig::Kind::Sqlite || !m_db.isOpen()) {
        return nullptr;
    }
    if (!m_sqlite) {
        const QVariant v = m_db.driver()->handle();
        if (v.isValid() && qstrcmp(v.typeName(), "sqlite3*") == 0) {
            m_sqlite = *static_cast<sqlite3* const*>(v.constData());
        }
    }
    return m_sqlite;
}

Database::Prepared* Database::sqliteStatement(sqlite3* handle, const QString& sql)
{
    auto it = m_sqliteCache.find(sql);
    if (it == m_sqliteCache.end()) {
        sqlite3_stmt* s = nullptr;
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v3(handle, text.constData(), int(text.size()),
                               SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
            logSqliteError("prepare", handle);
            sqlite3_finalize(s);
            return nullptr;
        }
        auto prepared = std::make_unique<Prepared>();
        prepared->statement = s;
        prepared->texts.resize(std::size_t(sqlite3_bind_parameter_count(s)));
        it = m_sqliteCache.emplace(sql, std::move(prepared)).first;
    }
    return it->second.get();
}

bool Database::select(const QString& sql, const QVariantList& params,
                      const std::function<void(const Row&)>& onRow)
{
    sqlite3* handle = sqliteHandle();
    if (!handle) {
        QSqlQuery* q = run(sql, params);
        if (!q) {
            return false;
        }
        const QtRow row(q);
        while (q->next()) {
            onRow(row);
        }
        q->finish();
        return true;
    }
    Prepared* prepared = sqliteStatement(handle, sql);
    if (!prepared) {
        return false;
    }
    sqlite3_stmt* s = prepared->statement;
    bool ok = true;
    for (int i = 0; ok && i < params.size(); ++i) {
        ok = bindSqlite(s, i + 1, params.at(i), prepared->text(i));
    }
    if (!ok) {
        logSqliteError("bind", handle);
    }
    const SqliteRow row(s);
    while (ok) {
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) {
            onRow(row);
        } else if (rc == SQLITE_DONE) {
            break;
        } else {
            logSqliteError("exec", handle);
            ok = false;
        }
    }
    // Resetting ends the statement's read transaction at once.
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return ok;
}

bool Database::runMany(const QString& sql, const QList<QVariantList>& rows)
{
    sqlite3* handle = sqliteHandle();
    Prepared* prepared = handle ? sqliteStatement(handle, sql) : nullptr;
    if (handle && !prepared) {
        return false;
    }
    sqlite3_stmt* s = prepared ? prepared->statement : nullptr;
    for (const QVariantList& params : rows) {
        if (!s) {
            QSqlQuery* q = run(sql, params);
            if (!q) {
                return false;
            }
            q->finish();
            continue;
        }
        bool ok = true;
        for (int i = 0; ok && i < params.size(); ++i) {
            ok = bindSqlite(s, i + 1, params.at(i), prepared->text(i));
        }
        ok = ok && sqlite3_step(s) == SQLITE_DONE;
        if (!ok) {
            logSqliteError("exec", handle);
        }
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool Database::begin()
{
    if (!m_db.transaction()) {
        logDbError("begin", m_db.lastError());
        return false;
    }
    return true;
}

bool Database::commit()
{
    if (!m_db.commit()) {
        logDbError("commit", m_db.lastError());
        m_db.rollback();
        return false;
    }
    return true;
}

void Database::rollback()
{
    m_db.rollback();
}

int Database::latestSchemaVersion()
{
    return migrations().last().version;
}

int Database::schemaVersion()
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT MAX(version) FROM schema_migrations")) || !q.next()) {
        return 0;
    }
    return q.value(0).toInt();
}

bool Database::migrate(QString* error)
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_migrations ("
                               "version INTEGER PRIMARY KEY, applied_at BIGINT NOT NULL)"))) {
        *error = q.lastError().text();
        return false;
    }
    if (isPostgres() && !q.exec(QStringLiteral("SELECT pg_advisory_lock(7301001)"))) {
        *error = q.lastError().text();
        return false;
    }
    bool ok = true;
    const int current = schemaVersion();
    for (const Migration& m : migrations()) {
        if (m.version <= current) {
            continue;
        }
        if (!m_db.transaction()) {
            *error = m_db.lastError().text();
            ok = false;
            break;
        }
        for (const QString& statement : m.statements) {
            if (!q.exec(statement)) {
                *error =
                    QStringLiteral("migration %1: %2").arg(m.version).arg(q.lastError().text());
                ok = false;
                break;
            }
        }
        if (ok) {
            q.prepare(
                QStringLiteral("INSERT INTO schema_migrations (version, applied_at) "
                               "VALUES (?, ?)"));
            q.addBindValue(m.version);
            q.addBindValue(QDateTime::currentMSecsSinceEpoch());
            ok = q.exec();
            if (!ok) {
                *error = q.lastError().text();
            }
        }
        if (!ok || !m_db.commit()) {
            if (ok) {
                *error = m_db.lastError().text();
            }
            m_db.rollback();
            ok = false;
            break;
        }
    }
    if (isPostgres()) {
        q.exec(QStringLiteral("SELECT pg_advisory_unlock(7301001)"));
    }
    return ok;
}
