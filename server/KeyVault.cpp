#include "KeyVault.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <memory>

namespace {

constexpr int kNonceSize = 12;
constexpr int kTagSize = 16;
const QString kPrefix = QStringLiteral("v1:");

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

std::atomic<quint64> g_nextVaultId{1};

// A decryption context per thread, set up once with the cipher and a
// vault's master key, so a key request only sets its nonce: fetching the
// cipher, making a context and expanding the master key cost more than
// decrypting the 32 bytes of a content key. Known by the vault's id, never
// its address, which a later vault with another key may take.
struct ThreadOpener
{
    quint64 vault = 0;
    CipherCtx ctx{nullptr, EVP_CIPHER_CTX_free};
};
thread_local ThreadOpener t_opener;

EVP_CIPHER_CTX* openerFor(quint64 vault, const QByteArray& masterKey)
{
    if (t_opener.ctx && t_opener.vault == vault) {
        return t_opener.ctx.get();
    }
    t_opener.vault = 0;
    t_opener.ctx.reset(EVP_CIPHER_CTX_new());
    EVP_CIPHER_CTX* ctx = t_opener.ctx.get();
    if (!ctx || EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx, nullptr, nullptr,
                           reinterpret_cast<const unsigned char*>(masterKey.constData()),
                           nullptr) != 1) {
        t_opener.ctx.reset();
        return nullptr;
    }
    t_opener.vault = vault;
    return ctx;
}

}  // namespace

KeyVault::KeyVault(const QByteArray& masterKey) : m_key(masterKey), m_id(g_nextVaultId++) {}

KeyVault::~KeyVault()
{
    sodium_memzero(m_key.data(), m_key.size());
}

QByteArray KeyVault::loadMasterKey(const QString& dataDir, const QByteArray& envValue,
                                   QString* error)
{
    if (!envValue.isEmpty()) {
        auto decoded = QByteArray::fromBase64Encoding(envValue.trimmed(),
                                                      QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.size() != kMasterKeySize) {
            *error = QStringLiteral("VEILCAST_MASTER_KEY must be Base64 of exactly 32 bytes");
            return {};
        }
        return decoded.decoded;
    }

    const QString path = QDir(dataDir).filePath(QStringLiteral("master.key"));
    const QByteArray nativePath = QFile::encodeName(path);
    if (QFileInfo::exists(path)) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
            return {};
        }
        if (QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::ReadOther)) {
            *error = QStringLiteral("%1 is readable by others; chmod 600 it").arg(path);
            return {};
        }
        auto decoded = QByteArray::fromBase64Encoding(f.readAll().trimmed(),
                                                      QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.size() != kMasterKeySize) {
            *error = QStringLiteral("%1 does not hold Base64 of 32 bytes").arg(path);
            return {};
        }
        return decoded.decoded;
    }

    if (!QDir().mkpath(dataDir)) {
        *error = QStringLiteral("cannot create data directory %1").arg(dataDir);
        return {};
    }
    QByteArray key(kMasterKeySize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(key.data()), key.size()) != 1) {
        *error = QStringLiteral("no randomness for the master key");
        return {};
    }
    // O_EXCL: two instances starting at once must not each write their own key.
    const int fd = ::open(nativePath.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot create %1").arg(path);
        return {};
    }
    const QByteArray text = key.toBase64() + '\n';
    const bool written = ::write(fd, text.constData(), text.size()) == text.size();
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        ::unlink(nativePath.constData());
        *error = QStringLiteral("cannot write %1").arg(path);
        return {};
    }
    return key;
}

void KeyVault::releaseThreadState()
{
    // The thread's context (with the master key's schedule) goes first.
    t_opener.ctx.reset();
    t_opener.vault = 0;
    OPENSSL_thread_stop();
}

QString KeyVault::seal(const QByteArray& plain, const QString& keyId) const
{
    QByteArray nonce(kNonceSize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(nonce.data()), kNonceSize) != 1) {
        return {};
    }
    const QByteArray aad = keyId.toUtf8();
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    QByteArray out(plain.size() + 16, '\0');
    QByteArray tag(kTagSize, '\0');
    int len = 0;
    int total = 0;
    auto u = [](QByteArray& b) { return reinterpret_cast<unsigned char*>(b.data()); };
    auto cu = [](const QByteArray& b) {
        return reinterpret_cast<const unsigned char*>(b.constData());
    };
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, cu(m_key), cu(nonce)) != 1 ||
        EVP_EncryptUpdate(ctx.get(), nullptr, &len, cu(aad), aad.size()) != 1 ||
        EVP_EncryptUpdate(ctx.get(), u(out), &len, cu(plain), plain.size()) != 1) {
        return {};
    }
    total = len;
    if (EVP_EncryptFinal_ex(ctx.get(), u(out) + total, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag.data()) != 1) {
        return {};
    }
    total += len;
    out.truncate(total);
    return kPrefix + QString::fromLatin1((nonce + out + tag).toBase64());
}

std::optional<QByteArray> KeyVault::open(const QString& sealed, const QString& keyId) const
{
    if (!sealed.startsWith(kPrefix)) {
        return std::nullopt;
    }
    auto decoded = QByteArray::fromBase64Encoding(sealed.mid(kPrefix.size()).toLatin1(),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() < kNonceSize + kTagSize) {
        return std::nullopt;
    }
    const QByteArray& blob = decoded.decoded;
    const QByteArray nonce = blob.left(kNonceSize);
    QByteArray tag = blob.right(kTagSize);
    const QByteArray cipher = blob.mid(kNonceSize, blob.size() - kNonceSize - kTagSize);
    const QByteArray aad = keyId.toUtf8();
    auto cu = [](const QByteArray& b) {
        return reinterpret_cast<const unsigned char*>(b.constData());
    };

    EVP_CIPHER_CTX* ctx = openerFor(m_id, m_key);
    QByteArray out(cipher.size() + 16, '\0');
    int len = 0;
    // Setting the nonce starts a new message, also after a failed one.
    if (!ctx || EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, cu(nonce)) != 1 ||
        EVP_DecryptUpdate(ctx, nullptr, &len, cu(aad), aad.size()) != 1 ||
        EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &len, cu(cipher),
                          cipher.size()) != 1) {
        return std::nullopt;
    }
    int total = len;
    if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()) != 1 ||
        EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + total, &len) != 1) {
        sodium_memzero(out.data(), out.size());
        return std::nullopt;
    }
    total += len;
    out.truncate(total);
    return out;
}
