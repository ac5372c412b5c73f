#pragma once

#include <QJsonObject>
#include <QStringList>
#include <QTextStream>
#include <optional>

#include "Store.h"

class QIODevice;
class PasswordHasher;
class Clock;

// The operator's command set, run against the same database as the server.
// `args` starts at the command group ("user", "merchant", "grant", "key",
// "device", "apikey"). Passwords are read from `input`, never from the arguments.
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
    // The user commands, one each; `account` is the user named by the first
    // word, for the commands that act on an existing one (else null).
    int userList(const QStringList& words, const User* account);
    int userAdd(const QStringList& words, const User* account);
    int userDisable(const QStringList& words, const User* account);
    int userEnable(const QStringList& words, const User* account);
    int userPasswd(const QStringList& words, const User* account);
    int userDeviceLimit(const QStringList& words, const User* account);
    int userExpires(const QStringList& words, const User* account);
    int grant(const QStringList& a);
    int key(const QStringList& a);
    int device(const QStringList& a);
    int apikey(const QStringList& a);

    // Each reports the outcome and hands back the exit code, so a command can end in one return.
    int showUsage();
    int fail(const QString& message);
    int done(const QString& text, const QJsonObject& json);
    int lookupFailed(bool failed, const QString& missing);
    int stored(bool ok, const QString& text, const QJsonObject& json);
    int inserted(Store::Insert result, const QString& conflict, const QString& text,
                 const QJsonObject& json);
    int changed(int rows, const QString& missing, const QString& text, const QJsonObject& json);
    template <typename T, typename ToJson, typename ToLine>
    int printList(bool read, const QList<T>& items, ToJson toJson, ToLine toLine,
                  const QString& none);

    // Empty when missing, after the miss has been reported.
    std::optional<User> findUser(const QString& username);
    std::optional<Merchant> findMerchant(const QString& name);

    bool readPasswordHash(QByteArray* hash);

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
