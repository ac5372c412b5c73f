#pragma once

#include <QJsonObject>
#include <QStringList>
#include <QTextStream>
#include <optional>

class QIODevice;
class Store;
class PasswordHasher;
class Clock;

// The operator's command set, run against the same database as the server.
// `args` starts at the command group ("user", "merchant", "grant", "key",
// "device"). Passwords are read from `input`, never from the arguments.
class Admin
{
public:
    Admin(Store& store, const PasswordHasher& hasher, const Clock& clock, QTextStream& out,
          QTextStream& err, QIODevice& input, bool json);

    int run(const QStringList& args);
    static QString usage();

private:
    int merchant(const QStringList& a);
    int user(const QStringList& a);
    int grant(const QStringList& a);
    int key(const QStringList& a);
    int device(const QStringList& a);

    int fail(const QString& message);
    int done(const QString& text, const QJsonObject& json);
    bool readPassword(QByteArray* password);

    Store& m_store;
    const PasswordHasher& m_hasher;
    const Clock& m_clock;
    QTextStream& m_out;
    QTextStream& m_err;
    QIODevice& m_input;
    bool m_json;
};

// "never" / "" -> empty; an ISO date-time; or a date, meaning up to the end of
// that day in UTC. Sets *ok to false when unreadable.
std::optional<qint64> parseAdminTime(const QString& text, bool* ok);
