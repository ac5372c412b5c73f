#include "DecryptingInput.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

#ifdef Q_OS_WIN
// clang-format off
#include <windows.h>
#include <fcntl.h>
#include <io.h>
// clang-format on
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>

#include "ContainerFormat.h"
#include "CryptoUtils.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {

// Bridge state, FFmpeg's opaque pointer. Touched by one thread at a time:
// the player's thread while the format is probed, then only the decoder's
// worker thread (the thread start orders the hand-over).
struct DecryptingInput
{
    QFile* file = nullptr;  // the container, read-only, owned
    qint64 headerSize = ContainerFormat::kHeaderSize;
    qint64 payloadSize = 0;            // fixed at open
    qint64 position = 0;               // payload offset of the next byte FFmpeg gets
    EVP_CIPHER_CTX* cipher = nullptr;  // always positioned at `position`
    QByteArray key;
    QByteArray iv;
    unsigned char* ioBuffer = nullptr;
};

void releaseState(DecryptingInput* state)
{
    if (!state) {
        return;
    }
    CryptoUtils::freeCtrContext(state->cipher);
    CryptoUtils::secureWipe(state->key);
    CryptoUtils::secureWipe(state->iv);
    delete state->file;
    delete state;
}

int readPacket(void* opaque, uint8_t* buffer, int size)
{
    auto* s = static_cast<DecryptingInput*>(opaque);
    if (s->position >= s->payloadSize) {
        return AVERROR_EOF;
    }
    if (size <= 0) {
        return AVERROR(EINVAL);
    }
    if (!s->file->seek(s->headerSize + s->position)) {
        return AVERROR(EIO);
    }
    const qint64 want = std::min<qint64>(size, s->payloadSize - s->position);
    const qint64 got = s->file->read(reinterpret_cast<char*>(buffer), want);
    if (got < 0) {
        return AVERROR(EIO);
    }
    if (got == 0) {
        return AVERROR_EOF;
    }
    const int count = static_cast<int>(got);
    if (CryptoUtils::ctrTransform(s->cipher, buffer, count, buffer) != count) {
        return AVERROR(EIO);
    }
    s->position += count;
    return count;
}

int64_t seekPacket(void* opaque, int64_t offset, int whence)
{
    auto* s = static_cast<DecryptingInput*>(opaque);
    qint64 target = 0;
    switch (whence) {
        case SEEK_SET:
            target = offset;
            break;
        case SEEK_CUR:
            target = s->position + offset;
            break;
        case SEEK_END:
            target = s->payloadSize + offset;
            break;
        case AVSEEK_SIZE:
            return s->payloadSize;
        default:  // AVSEEK_FORCE and anything unknown
            return -1;
    }
    if (target < 0 || target > s->payloadSize) {
        return -1;
    }
    if (!CryptoUtils::seekCtrContext(s->cipher, s->key, s->iv, target)) {
        // The context may be half re-keyed now; put it back where the stream
        // still is, so a refused seek leaves reads correct.
        CryptoUtils::seekCtrContext(s->cipher, s->key, s->iv, s->position);
        return -1;
    }
    s->position = target;
    return target;
}

enum class OpenResult
{
    Opened,
    Unreadable,
    NotRegular,
};

// A read-only descriptor on path, checked to be a regular file on the very
// descriptor that is read, not on a name that could be swapped in between.
OpenResult openRegularFile(const QString& path, int* fd)
{
#ifdef Q_OS_WIN
    // Backup semantics let a folder open too, so that it is named as what it
    // is; sharing everything keeps a file being written by another program
    // readable, as it is elsewhere.
    const QString native = QDir::toNativeSeparators(path);
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(native.utf16()), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return OpenResult::Unreadable;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        return OpenResult::NotRegular;
    }
    *fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (*fd < 0) {
        CloseHandle(handle);
        return OpenResult::Unreadable;
    }
    return OpenResult::Opened;
#else
    // Non-blocking, so that opening a FIFO returns at once.
    *fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) {
        return OpenResult::Unreadable;
    }
    struct stat info
    {
    };
    if (::fstat(*fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(*fd);
        return OpenResult::NotRegular;
    }
    return OpenResult::Opened;
#endif
}

void closeDescriptor(int fd)
{
#ifdef Q_OS_WIN
    ::_close(fd);
#else
    ::close(fd);
#endif
}

}  // namespace

AVIOContext* openDecryptingInput(const QString& path, const QByteArray& key, QString* reason)
{
    auto refuse = [reason](const QString& why) -> AVIOContext* {
        if (reason) {
            *reason = why;
        }
        return nullptr;
    };
    const QString unreadable = QStringLiteral("无法打开加密文件");
    int fd = -1;
    switch (openRegularFile(path, &fd)) {
        case OpenResult::Unreadable:
            return refuse(unreadable);
        case OpenResult::NotRegular:
            return refuse(QStringLiteral("不是普通文件，无法作为加密视频打开"));
        case OpenResult::Opened:
            break;
    }

    auto* state = new DecryptingInput;
    state->file = new QFile;
    // Unbuffered: FFmpeg's buffer is the only one; a second would hold
    // ciphertext for nothing and cost a copy.
    if (!state->file->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                           QFileDevice::AutoCloseHandle)) {
        closeDescriptor(fd);
        releaseState(state);
        return refuse(unreadable);
    }
    ContainerFormat::Header header;
    if (key.size() != CryptoUtils::kKeySize || state->file->size() < state->headerSize ||
        !ContainerFormat::parseHeader(state->file->read(state->headerSize), &header)) {
        releaseState(state);
        return refuse(unreadable);
    }
    QByteArray iv = header.iv;
    state->payloadSize = state->file->size() - state->headerSize;
    state->key = key;
    state->iv = iv;
    CryptoUtils::secureWipe(iv);
    state->cipher = CryptoUtils::createCtrContext(state->key, state->iv);
    state->ioBuffer = static_cast<unsigned char*>(av_malloc(kDecryptingInputBufferSize));

    AVIOContext* io = nullptr;
    if (state->cipher && state->ioBuffer) {
        io = avio_alloc_context(state->ioBuffer, kDecryptingInputBufferSize, 0, state, &readPacket,
                                nullptr, &seekPacket);
    }
    if (!io) {
        av_free(state->ioBuffer);
        releaseState(state);
        return refuse(unreadable);
    }
    return io;
}

void closeDecryptingInput(AVIOContext* io)
{
    if (!io) {
        return;
    }
    releaseState(static_cast<DecryptingInput*>(io->opaque));
    io->opaque = nullptr;
    // FFmpeg may have swapped the buffer given at open for one of its own.
    av_freep(&io->buffer);
    avio_context_free(&io);
}
