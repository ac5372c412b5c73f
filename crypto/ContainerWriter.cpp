#include "ContainerWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <memory>
#include <optional>

#include "ContainerFormat.h"
#include "CryptoUtils.h"

namespace {

struct CtxDeleter
{
    void operator()(EVP_CIPHER_CTX* ctx) const { CryptoUtils::freeCtrContext(ctx); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxDeleter>;

using Error = ContainerWriter::Error;

ContainerWriter::Result failure(Error error, const QString& detail = {})
{
    ContainerWriter::Result r;
    r.error = error;
    r.message = ContainerWriter::messageFor(error);
    r.detail = detail;
    return r;
}

}  // namespace

ContainerWriter::Result::~Result()
{
    CryptoUtils::secureWipe(key);
    CryptoUtils::secureWipe(iv);
}

ContainerWriter::KeyMaterial::~KeyMaterial()
{
    wipe();
}

ContainerWriter::KeyMaterial ContainerWriter::KeyMaterial::fresh()
{
    KeyMaterial m;
    m.key = CryptoUtils::randomKey();
    m.iv = CryptoUtils::randomIv();
    m.videoId = CryptoUtils::randomVideoId();
    return m;
}

bool ContainerWriter::KeyMaterial::isComplete() const
{
    return key.size() == CryptoUtils::kKeySize && iv.size() == CryptoUtils::kIvSize &&
           videoId.size() == CryptoUtils::kVideoIdSize;
}

void ContainerWriter::KeyMaterial::wipe()
{
    CryptoUtils::secureWipe(key);
    CryptoUtils::secureWipe(iv);
    videoId.clear();
}

QString ContainerWriter::messageFor(Error error)
{
    switch (error) {
        case Error::None:
            return {};
        case Error::OpenSource:
            return QStringLiteral("无法打开源文件");
        case Error::CreateOutput:
            return QStringLiteral("无法创建输出文件");
        case Error::CipherInit:
            return QStringLiteral("加密初始化失败");
        case Error::Cipher:
            return QStringLiteral("加密过程出错");
        case Error::ReadSource:
            return QStringLiteral("读取源文件时出错");
        case Error::WriteOutput:
            return QStringLiteral("写入输出文件失败，磁盘空间可能不足");
        case Error::Stopped:
            return QStringLiteral("加密已取消");
    }
    return {};
}

QString ContainerWriter::outputPathFor(const QString& srcPath, const QString& outputDir)
{
    return QDir(outputDir).filePath(QFileInfo(srcPath).completeBaseName() + QStringLiteral(".vcz"));
}

namespace {

// Writes all of it or fails with the system's reason: a short write (the disk
// filled up half-way) sets no error itself, so the rest is written again
// until the system says why it cannot be.
bool writeAll(QSaveFile& output, const char* data, qint64 size)
{
    while (size > 0) {
        const qint64 n = output.write(data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Streams the whole source through the cipher into the output, reporting
// whole percents. Gives the failure, or nothing with `done` set to the bytes
// sealed.
std::optional<ContainerWriter::Result> sealBody(QFile& source, QSaveFile& output,
                                                EVP_CIPHER_CTX* ctx, qint64 total,
                                                const ContainerWriter::ProgressFn& progress,
                                                const std::atomic_bool* stop, qint64& done)
{
    // One buffer, transformed in place: CTR output has the input's length.
    const int chunkSize = ContainerWriter::kChunkSize;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[chunkSize]);
    int lastPercent = -1;
    for (;;) {
        if (stop && stop->load(std::memory_order_relaxed)) {
            return failure(Error::Stopped);
        }
        const qint64 n = source.read(reinterpret_cast<char*>(buffer.get()), chunkSize);
        if (n < 0) {
            return failure(Error::ReadSource, source.errorString());
        }
        if (n == 0) {
            return std::nullopt;  // end of file: the only normal end
        }
        const int chunk = static_cast<int>(n);
        if (CryptoUtils::ctrTransform(ctx, buffer.get(), chunk, buffer.get()) != chunk) {
            return failure(Error::Cipher);
        }
        if (!writeAll(output, reinterpret_cast<const char*>(buffer.get()), chunk)) {
            return failure(Error::WriteOutput, output.errorString());
        }
        done += chunk;
        if (progress && total > 0) {
            // A source that grows while we read must not report more than 100.
            const int percent = static_cast<int>(qMin<qint64>(100, done * 100 / total));
            if (percent != lastPercent) {
                lastPercent = percent;
                progress(percent);
            }
        }
    }
}

}  // namespace

ContainerWriter::Result ContainerWriter::write(const QString& srcPath, const QString& outPath,
                                               const ProgressFn& progress,
                                               const std::atomic_bool* stop)
{
    return write(srcPath, outPath, KeyMaterial::fresh(), progress, stop);
}

ContainerWriter::Result ContainerWriter::write(const QString& srcPath, const QString& outPath,
                                               const KeyMaterial& material,
                                               const ProgressFn& progress,
                                               const std::atomic_bool* stop)
{
    QFile source(srcPath);
    if (QFileInfo(srcPath).isDir()) {
        return failure(Error::OpenSource, QStringLiteral("is a directory"));
    }
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        return failure(Error::OpenSource, source.errorString());
    }
    const qint64 total = source.size();

    // Not committed on any early return: the destructor discards the temporary file.
    QSaveFile output(outPath);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return failure(Error::CreateOutput, output.errorString());
    }

    if (!material.isComplete()) {
        return failure(Error::CipherInit);
    }
    Result result;
    result.key = material.key;
    result.iv = material.iv;
    result.videoId = material.videoId;
    result.sourceSize = total;

    const QByteArray header = ContainerFormat::buildHeader(result.iv, result.videoId, total);
    CtxPtr ctx(CryptoUtils::createCtrContext(result.key, result.iv));
    if (header.isEmpty() || !ctx) {
        return failure(Error::CipherInit);
    }
    if (!writeAll(output, header.constData(), header.size())) {
        return failure(Error::WriteOutput, output.errorString());
    }

    qint64 done = 0;
    if (auto failed = sealBody(source, output, ctx.get(), total, progress, stop, done)) {
        return std::move(*failed);
    }
    ctx.reset();
    source.close();

    // A file that grew or shrank while it was read (or one that tells no
    // size, as in /proc) holds what was sealed, not what the size said.
    if (done != total) {
        result.sourceSize = done;
        const QByteArray actual = ContainerFormat::buildHeader(result.iv, result.videoId, done);
        if (!output.seek(0) || !writeAll(output, actual.constData(), actual.size())) {
            return failure(Error::WriteOutput, output.errorString());
        }
    }

    if (!output.commit()) {
        return failure(Error::WriteOutput, output.errorString());
    }
    result.ok = true;
    result.outPath = outPath;
    return result;
}
