#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>

// Streams one source file into a .vcz container under fresh key material.
// Used by the merchant's encryption tasks and by the vcz tool, so both write
// byte-identical formats.
//
// A container is either complete or absent: the output is written to a
// temporary file beside the target and renamed into place only after the
// last byte was written, so a read error, a full disk or a stop request
// leaves no partial container behind and never destroys an existing file of
// the same name.
class ContainerWriter
{
public:
    // Bytes read from the source per step; large enough that the per-call
    // overhead of read/encrypt/write disappears, small enough to stay in cache.
    static constexpr int kChunkSize = 256 * 1024;

    enum class Error
    {
        None,
        OpenSource,
        CreateOutput,
        CipherInit,
        Cipher,
        ReadSource,
        WriteOutput,
        Stopped,
    };

    struct Result
    {
        Result() = default;
        Result(const Result&) = default;
        Result(Result&&) = default;
        Result& operator=(const Result&) = default;
        Result& operator=(Result&&) = default;
        ~Result();  // wipes this holder's copy of the secrets

        bool ok = false;
        Error error = Error::None;
        QString message;     // a sentence for the user when !ok
        QString detail;      // the system's reason, when there is one
        QString outPath;     // the finished container when ok
        QByteArray videoId;  // 16 raw bytes when ok
        QByteArray iv;       // 16 raw bytes when ok
        QByteArray key;      // 32 raw bytes when ok
        qint64 sourceSize = 0;
    };

    // The secrets of one container. Whoever registers a key with the server
    // before the container exists mints them and hands them in; the holder's
    // copies are wiped when it goes.
    struct KeyMaterial
    {
        KeyMaterial() = default;
        KeyMaterial(const KeyMaterial&) = default;
        KeyMaterial(KeyMaterial&&) = default;
        KeyMaterial& operator=(const KeyMaterial&) = default;
        KeyMaterial& operator=(KeyMaterial&&) = default;
        ~KeyMaterial();

        // Fresh random key, counter block and video id; incomplete when the
        // random generator failed.
        static KeyMaterial fresh();
        // A 32-byte key, a 16-byte counter block and a 16-byte video id.
        bool isComplete() const;
        void wipe();

        QByteArray key;
        QByteArray iv;
        QByteArray videoId;
    };

    // Called with whole percents 0..100, only when the value changes; an
    // empty source reports nothing.
    using ProgressFn = std::function<void(int percent)>;

    // The user's sentence for an error (empty for None).
    static QString messageFor(Error error);

    // Where a source's container goes: outputDir / <complete base name>.vcz
    // (clip.final.mp4 gives clip.final.vcz).
    static QString outputPathFor(const QString& srcPath, const QString& outputDir);

    // Encrypts srcPath into outPath. stop, when given, is polled between
    // chunks; once set the write ends as a failure and nothing is left on disk.
    static Result write(const QString& srcPath, const QString& outPath,
                        const ProgressFn& progress = {}, const std::atomic_bool* stop = nullptr);
    // The same under the given secrets, so that their key can be registered
    // before the container appears; incomplete material fails as CipherInit.
    static Result write(const QString& srcPath, const QString& outPath, const KeyMaterial& material,
                        const ProgressFn& progress = {}, const std::atomic_bool* stop = nullptr);
};
