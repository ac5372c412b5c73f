#pragma once

#include <QByteArray>
#include <cstddef>

// argon2id through libsodium. The cost is a deployment choice: the defaults
// are libsodium's "interactive" level; tests and the demo may lower them.
struct PwHashCost
{
    unsigned long long opsLimit = 0;  // 0: library default
    std::size_t memLimit = 0;         // bytes; 0: library default
};

class PasswordHasher
{
public:
    explicit PasswordHasher(PwHashCost cost = {});

    // Returns the self-describing hash string, or empty when the library
    // refused (out of memory for the chosen cost).
    QByteArray hash(const QByteArray& password) const;
    bool verify(const QByteArray& hash, const QByteArray& password) const;
    // True when `hash` was made with another cost than the current one.
    bool needsRehash(const QByteArray& hash) const;

    PwHashCost cost() const { return m_cost; }

    static bool initLibrary();

private:
    PwHashCost m_cost;
};
