#pragma once

#include <QByteArray>
#include <QString>

extern "C" {
#include <libavformat/avio.h>
}

// FFmpeg reads a .vcz container through this bridge as if it were the plain
// media file inside. Offsets seen by FFmpeg are payload offsets (0 is the
// first byte after the header); every read is decrypted in place inside
// FFmpeg's own buffer, so plaintext never touches the disk and never exists
// in more than one I/O buffer at a time.

// Bytes handed to FFmpeg per read: one I/O buffer.
inline constexpr int kDecryptingInputBufferSize = 0x10000;

// Null on any failure: missing file, not a regular file, bad header, key not
// 32 bytes; then *reason (if given) holds a sentence for the user. Only a
// regular file is read: a FIFO or a device is refused without being opened
// for reading, as a FIFO without a writer would block the caller for ever.
AVIOContext* openDecryptingInput(const QString& path, const QByteArray& key,
                                 QString* reason = nullptr);

// Releases the context, its buffer and the bridge state; accepts null.
void closeDecryptingInput(AVIOContext* io);
