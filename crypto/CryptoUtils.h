#pragma once

#include <QByteArray>
#include <QString>

// The cipher context is OpenSSL's; callers only pass the handle around.
typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

// Stateless cipher, random and wipe helpers shared by the container writer,
// the key manager and the playback path. Keys are 32 bytes, counter blocks
// and video ids 16 bytes; anything else is refused before OpenSSL is called.
class CryptoUtils
{
public:
    CryptoUtils() = delete;

    static constexpr int kKeySize = 32;
    static constexpr int kIvSize = 16;
    static constexpr int kVideoIdSize = 16;

    // AES-256-CTR context positioned at payload offset 0, or null.
    static EVP_CIPHER_CTX* createCtrContext(const QByteArray& key, const QByteArray& iv);
    // Transforms length bytes; in and out may be the same buffer. Returns the
    // count written, or -1.
    static int ctrTransform(EVP_CIPHER_CTX* ctx, const unsigned char* in, int length,
                            unsigned char* out);
    // Repositions ctx so that the next transformed byte is payload byte offset.
    static bool seekCtrContext(EVP_CIPHER_CTX* ctx, const QByteArray& key, const QByteArray& iv,
                               qint64 offset);
    static void freeCtrContext(EVP_CIPHER_CTX* ctx);
    // Frees OpenSSL's state for the calling thread now. A Qt thread is
    // detached: its join returns before its own exit handlers run, and a
    // process ending in that gap would lose the state. Call it last on every
    // worker thread that used the cipher.
    static void releaseThreadState();

    static QByteArray encryptBytes(const QByteArray& data, const QByteArray& key,
                                   const QByteArray& iv);
    static QByteArray decryptBytes(const QByteArray& data, const QByteArray& key,
                                   const QByteArray& iv);

    // Fresh secrets from OpenSSL's generator. If the generator fails they come
    // back empty rather than as predictable bytes, so every consumer that
    // checks lengths refuses them.
    static QByteArray randomIv();
    static QByteArray randomKey();
    static QByteArray randomVideoId();

    // 8-4-4-4-12 lower-case UUID text of 16 bytes; empty for any other length.
    static QString formatVideoId(const QByteArray& videoId);

    // Zeroes every byte (detaching shared copies first so no other holder is
    // touched), then empties the array.
    static void secureWipe(QByteArray& data);

    // Reads and validates the 52-byte header. On success keyId receives the
    // video id as 32 lower-case hex digits and iv the 16-byte counter block;
    // on failure neither is touched.
    static bool readContainerHeader(const QString& path, QByteArray& keyId, QByteArray& iv);
};
