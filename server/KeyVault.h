#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Seals content keys for storage: AES-256-GCM under the server's master key,
// with the key id as associated data, so a sealed key copied onto another
// row no longer opens.
class KeyVault
{
public:
    static constexpr int kMasterKeySize = 32;

    explicit KeyVault(const QByteArray& masterKey);
    ~KeyVault();
    KeyVault(const KeyVault&) = delete;
    KeyVault& operator=(const KeyVault&) = delete;

    // Where the master key comes from: the environment variable (Base64 of 32
    // bytes) wins; otherwise `<dataDir>/master.key`, created with mode 0600 on
    // first use. Returns an empty array and fills `error` on failure.
    static QByteArray loadMasterKey(const QString& dataDir, const QByteArray& envValue,
                                    QString* error);

    // Frees OpenSSL's state for the calling thread now, with the context the
    // thread kept for opening (and the master key's schedule in it). A Qt thread is
    // detached: its join returns before its own exit handlers run, and a
    // process ending in that gap would lose the state (OpenSSL's exit
    // handler has already removed the key that finds it). Call it last on
    // every thread that sealed or opened, before it is joined.
    static void releaseThreadState();

    QString seal(const QByteArray& plain, const QString& keyId) const;
    std::optional<QByteArray> open(const QString& sealed, const QString& keyId) const;

private:
    QByteArray m_key;
    quint64 m_id;  // names this vault's contexts on the threads that opened
};
