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

// Null on any failure: missing file, bad header, key not 32 bytes.
AVIOContext* openDecryptingInput(const QString& path, const QByteArray& key);

// Releases the context, its buffer and the bridge state; accepts null.
void closeDecryptingInput(AVIOContext* io);
