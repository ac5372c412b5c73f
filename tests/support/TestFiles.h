#pragma once

// Small file helpers shared by the tests that write sources and read back
// containers.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtEndian>

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// size bytes in a pattern that starts at seed: keys, ivs and payloads that
// differ from each other by their seed and never from run to run.
inline QByteArray testBytes(int size, char seed)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        out[i] = char(seed + i * 7);
    }
    return out;
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A source the encryption page takes for media whatever its name: the header
// of a silent 8 kHz mono PCM WAV file, then zeros up to size bytes. The zeros
// are not written, so a large source costs no disk.
inline bool writeSilentWav(const QString& path, qint64 size)
{
    constexpr qint64 kHeader = 44;
    if (size < kHeader || size > 0xffffffffLL) {
        return false;
    }
    QByteArray h;
    auto u32 = [&h](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        h.append(b, 4);
    };
    auto u16 = [&h](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        h.append(b, 2);
    };
    h.append("RIFF");
    u32(quint32(size - 8));
    h.append("WAVEfmt ");
    u32(16);     // format chunk size
    u16(1);      // PCM
    u16(1);      // mono
    u32(8000);   // samples per second
    u32(16000);  // bytes per second
    u16(2);      // bytes per sample frame
    u16(16);     // bits per sample
    h.append("data");
    u32(quint32(size - kHeader));
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(h) == kHeader && f.resize(size);
}
