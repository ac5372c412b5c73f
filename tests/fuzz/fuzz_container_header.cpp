// The container header reader on arbitrary bytes. Beyond not crashing, a
// header that parses must come out of buildHeader() byte for byte again (up
// to the reserved tail, which readers ignore and writers zero), and
// its video id must print as a 36-character id: the player keys its cache and
// its server requests on that text.
#include <QByteArray>
#include <cstdint>
#include <cstdlib>

#include "ContainerFormat.h"
#include "CryptoUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    ContainerFormat::Header header;
    if (!ContainerFormat::parseHeader(bytes, &header)) {
        return 0;
    }
    if (header.iv.size() != CryptoUtils::kIvSize ||
        header.videoId.size() != CryptoUtils::kVideoIdSize) {
        std::abort();
    }
    const QByteArray rebuilt =
        ContainerFormat::buildHeader(header.iv, header.videoId, header.sourceSize);
    // Magic, iv, video id and size: everything before the reserved tail.
    constexpr int kMeaningful = ContainerFormat::kSourceSizeOffset + 4;
    if (rebuilt.size() != ContainerFormat::kHeaderSize ||
        rebuilt.left(kMeaningful) != bytes.left(kMeaningful)) {
        std::abort();
    }
    if (CryptoUtils::formatVideoId(header.videoId).size() != 36) {
        std::abort();
    }
    return 0;
}
