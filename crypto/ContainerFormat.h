#pragma once

#include <QByteArray>
#include <QtGlobal>

// On-disk layout of a .vcz container: a fixed 52-byte header followed by the
// source file encrypted whole with AES-256-CTR. No trailer, no padding.
class ContainerFormat
{
public:
    ContainerFormat() = delete;

    static constexpr int kHeaderSize = 52;
    static constexpr char kMagic[4] = {'V', 'C', 'Z', '1'};
    static constexpr int kIvOffset = 4;
    static constexpr int kVideoIdOffset = 20;
    static constexpr int kSourceSizeOffset = 36;

    struct Header
    {
        QByteArray iv;         // 16 bytes
        QByteArray videoId;    // 16 bytes
        quint32 sourceSize{};  // low 32 bits of the plaintext length; informational only
    };

    // The 52 header bytes; empty if iv or videoId has the wrong size.
    static QByteArray buildHeader(const QByteArray& iv, const QByteArray& videoId,
                                  qint64 sourceSize);

    // Parses the first 52 bytes of a container. False when there are fewer
    // than 52 bytes or the magic differs in any byte (letter case included).
    static bool parseHeader(const QByteArray& bytes, Header* out);
};
