#include "PasswordHasher.h"

#include <sodium.h>

bool PasswordHasher::initLibrary()
{
    return sodium_init() >= 0;
}

PasswordHasher::PasswordHasher(PwHashCost cost) : m_cost(cost)
{
    initLibrary();
    if (m_cost.opsLimit == 0) {
        m_cost.opsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
    }
    if (m_cost.memLimit == 0) {
        m_cost.memLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;
    }
    // Below these libsodium refuses to hash at all.
    if (m_cost.opsLimit < crypto_pwhash_OPSLIMIT_MIN) {
        m_cost.opsLimit = crypto_pwhash_OPSLIMIT_MIN;
    }
    if (m_cost.memLimit < crypto_pwhash_MEMLIMIT_MIN) {
        m_cost.memLimit = crypto_pwhash_MEMLIMIT_MIN;
    }
}

QByteArray PasswordHasher::hash(const QByteArray& password) const
{
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, password.constData(), password.size(), m_cost.opsLimit,
                              m_cost.memLimit, crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return {};
    }
    return QByteArray(out);
}

bool PasswordHasher::verify(const QByteArray& hash, const QByteArray& password) const
{
    if (hash.isEmpty()) {
        return false;
    }
    // crypto_pwhash_str_verify wants a NUL-terminated string; QByteArray
    // guarantees one behind constData().
    return crypto_pwhash_str_verify(hash.constData(), password.constData(), password.size()) == 0;
}

bool PasswordHasher::needsRehash(const QByteArray& hash) const
{
    return crypto_pwhash_str_needs_rehash(hash.constData(), m_cost.opsLimit, m_cost.memLimit) != 0;
}
