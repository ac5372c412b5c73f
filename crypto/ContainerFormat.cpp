#include "ContainerFormat.h"

#include <QtEndian>
#include <cstring>

QByteArray ContainerFormat::buildHeader(const QByteArray& iv, const QByteArray& videoId,
                                        qint64 sourceSize)
{
    if (iv.size() != 16 || videoId.size() != 16) {
        return {};
    }
    QByteArray header(kHeaderSize, '\0');
    char* p = header.data();
    std::memcpy(p, kMagic, sizeof kMagic);
    std::memcpy(p + kIvOffset, iv.constData(), 16);
    std::memcpy(p + kVideoIdOffset, videoId.constData(), 16);
    // Only the low 32 bits fit; readers take the payload length from the file size.
    qToLittleEndian<quint32>(static_cast<quint32>(sourceSize & 0xFFFFFFFF), p + kSourceSizeOffset);
    return header;
}

bool ContainerFormat::parseHeader(const QByteArray& bytes, Header* out)
{
    if (bytes.size() < kHeaderSize || std::memcmp(bytes.constData(), kMagic, sizeof kMagic) != 0) {
        return false;
    }
    if (out) {
        out->iv = bytes.mid(kIvOffset, 16);
        out->videoId = bytes.mid(kVideoIdOffset, 16);
        out->sourceSize = qFromLittleEndian<quint32>(bytes.constData() + kSourceSizeOffset);
    }
    return true;
}
