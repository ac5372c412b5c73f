#pragma once

#include <sodium.h>

#include <QByteArray>
#include <utility>

// The one owner of a secret's bytes: they are wiped when it goes, by whichever
// return the function holding it leaves. It takes the bytes over and gives
// out no copy, because a copy of a QByteArray shares the buffer: wiping
// through one copy's data() would detach it and wipe a fresh duplicate, while
// the secret stayed in the buffer the other copy still holds.
class SecretBytes
{
public:
    SecretBytes() = default;
    explicit SecretBytes(QByteArray&& bytes) : m_bytes(std::move(bytes)) {}
    ~SecretBytes() { sodium_memzero(m_bytes.data(), size_t(m_bytes.size())); }

    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;

    const QByteArray& bytes() const { return m_bytes; }
    bool isEmpty() const { return m_bytes.isEmpty(); }

private:
    QByteArray m_bytes;
};
