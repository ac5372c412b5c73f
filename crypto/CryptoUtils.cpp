#include "CryptoUtils.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <QFile>
#include <QFileInfo>
#include <cstring>

#include "ContainerFormat.h"

namespace {

bool validKeyAndIv(const QByteArray& key, const QByteArray& iv)
{
    return key.size() == CryptoUtils::kKeySize && iv.size() == CryptoUtils::kIvSize;
}

const unsigned char* bytes(const QByteArray& a)
{
    return reinterpret_cast<const unsigned char*>(a.constData());
}

QByteArray randomBytes(int size)
{
    QByteArray out(size, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), size) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        return {};
    }
    return out;
}

}  // namespace

EVP_CIPHER_CTX* CryptoUtils::createCtrContext(const QByteArray& key, const QByteArray& iv)
{
    if (!validKeyAndIv(key, iv)) {
        return nullptr;
    }
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) {
        return nullptr;
    }
    if (EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, bytes(key), bytes(iv)) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

int CryptoUtils::ctrTransform(EVP_CIPHER_CTX* ctx, const unsigned char* in, int length,
                              unsigned char* out)
{
    if (!ctx || !in || !out || length <= 0) {
        return -1;
    }
    int written = 0;
    if (EVP_EncryptUpdate(ctx, out, &written, in, length) != 1) {
        return -1;
    }
    return written;
}

bool CryptoUtils::seekCtrContext(EVP_CIPHER_CTX* ctx, const QByteArray& key, const QByteArray& iv,
                                 qint64 offset)
{
    if (!ctx || !validKeyAndIv(key, iv) || offset < 0) {
        return false;
    }
    unsigned char counter[kIvSize];
    std::memcpy(counter, iv.constData(), kIvSize);

    // Add the block index to the counter as one 128-bit big-endian integer;
    // the carry out of byte 0 is dropped (wrap modulo 2^128), as OpenSSL's CTR does.
    quint64 addend = static_cast<quint64>(offset) / kIvSize;
    for (int i = kIvSize - 1; i >= 0 && addend != 0; --i) {
        const unsigned sum = counter[i] + static_cast<unsigned>(addend & 0xFF);
        counter[i] = static_cast<unsigned char>(sum & 0xFF);
        addend = (addend >> 8) + (sum >> 8);
    }

    const bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, bytes(key), counter) == 1;
    OPENSSL_cleanse(counter, sizeof counter);
    if (!ok) {
        return false;
    }

    // Consume the key stream up to the byte inside the block, so a read that
    // starts mid-block needs no special handling by the caller.
    const int skip = static_cast<int>(offset % kIvSize);
    if (skip > 0) {
        unsigned char zeros[kIvSize] = {};
        unsigned char discard[kIvSize];
        if (ctrTransform(ctx, zeros, skip, discard) != skip) {
            return false;
        }
        OPENSSL_cleanse(discard, sizeof discard);
    }
    return true;
}

void CryptoUtils::freeCtrContext(EVP_CIPHER_CTX* ctx)
{
    EVP_CIPHER_CTX_free(ctx);
}

void CryptoUtils::releaseThreadState()
{
    OPENSSL_thread_stop();
}

QByteArray CryptoUtils::encryptBytes(const QByteArray& data, const QByteArray& key,
                                     const QByteArray& iv)
{
    if (data.isEmpty()) {
        return {};
    }
    EVP_CIPHER_CTX* ctx = createCtrContext(key, iv);
    if (!ctx) {
        return {};
    }
    QByteArray out(data.size(), '\0');
    const int written = ctrTransform(ctx, bytes(data), static_cast<int>(data.size()),
                                     reinterpret_cast<unsigned char*>(out.data()));
    freeCtrContext(ctx);
    if (written != data.size()) {
        return {};
    }
    return out;
}

QByteArray CryptoUtils::decryptBytes(const QByteArray& data, const QByteArray& key,
                                     const QByteArray& iv)
{
    // Counter mode: decryption is the same key stream XOR.
    return encryptBytes(data, key, iv);
}

QByteArray CryptoUtils::randomIv()
{
    return randomBytes(kIvSize);
}

QByteArray CryptoUtils::randomKey()
{
    return randomBytes(kKeySize);
}

QByteArray CryptoUtils::randomVideoId()
{
    QByteArray id = randomBytes(kVideoIdSize);
    if (id.size() == kVideoIdSize) {
        // Version-4 UUID marks: version nibble 0100, variant bits 10.
        id[6] = static_cast<char>((static_cast<quint8>(id[6]) & 0x0F) | 0x40);
        id[8] = static_cast<char>((static_cast<quint8>(id[8]) & 0x3F) | 0x80);
    }
    return id;
}

QString CryptoUtils::formatVideoId(const QByteArray& videoId)
{
    if (videoId.size() != kVideoIdSize) {
        return {};
    }
    const QByteArray hex = videoId.toHex();
    return QString::fromLatin1(hex.mid(0, 8) + '-' + hex.mid(8, 4) + '-' + hex.mid(12, 4) + '-' +
                               hex.mid(16, 4) + '-' + hex.mid(20, 12));
}

void CryptoUtils::secureWipe(QByteArray& data)
{
    if (data.isEmpty()) {
        return;
    }
    // data() detaches first, so a copy still held elsewhere keeps its bytes.
    OPENSSL_cleanse(data.data(), static_cast<size_t>(data.size()));
    data.clear();
}

bool CryptoUtils::readContainerHeader(const QString& path, QByteArray& keyId, QByteArray& iv)
{
    // Only a regular file is opened: a FIFO would wait for a writer, and the
    // caller is often the GUI thread.
    if (!QFileInfo(path).isFile()) {
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray head = file.read(ContainerFormat::kHeaderSize);
    ContainerFormat::Header header;
    if (head.size() != ContainerFormat::kHeaderSize ||
        !ContainerFormat::parseHeader(head, &header)) {
        return false;
    }
    keyId = header.videoId.toHex();
    iv = header.iv;
    return true;
}
