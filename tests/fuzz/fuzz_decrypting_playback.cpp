// Plain media bytes are sealed under a fixed key, written as a container and
// played through the decrypting input and the media decoder, as the player
// does, until the end or a bounded number of frames. What is fuzzed is the
// decoder's handling of whatever FFmpeg makes of hostile media, and the
// bridge's reads and seeks beneath the demultiplexer.
#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

#include "ContainerFormat.h"
#include "CryptoUtils.h"
#include "DecryptingInput.h"
#include "MediaDecoder.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace {

// A few dozen frames reach past the probing into steady decoding; more only
// slows the run down.
constexpr int kMaxFrames = 48;

const QByteArray kKey(32, '\x5a');
const QByteArray kIv = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
const QByteArray kVideoId = QByteArray::fromHex("f0e1d2c3b4a5968778695a4b3c2d1e0f");

QTemporaryDir* scratch = nullptr;
QString containerPath;

bool writeContainer(const QByteArray& plain)
{
    QFile file(containerPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    const QByteArray header = ContainerFormat::buildHeader(kIv, kVideoId, plain.size());
    const QByteArray payload = CryptoUtils::encryptBytes(plain, kKey, kIv);
    return file.write(header) == header.size() && file.write(payload) == payload.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    av_log_set_level(AV_LOG_QUIET);
    scratch = new QTemporaryDir;
    if (!scratch->isValid()) {
        std::abort();
    }
    containerPath = scratch->filePath(QStringLiteral("input.vcz"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray plain(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (!writeContainer(plain)) {
        std::abort();  // the scratch folder is ours; failing here is the harness's fault
    }
    AVIOContext* io = openDecryptingInput(containerPath, kKey);
    if (!io) {
        std::abort();  // a well-formed container with the right key always opens
    }

    MediaDecoder decoder;
    int frames = 0;
    auto count = [&decoder, &frames](const FrameRef&) {
        if (++frames >= kMaxFrames) {
            decoder.stop();
        }
    };
    QObject::connect(&decoder, &MediaDecoder::videoFrameReady, count);
    QObject::connect(&decoder, &MediaDecoder::audioFrameReady, count);
    // No clock: nothing is paced. Failed reads are retried without waiting.
    decoder.setSleeper([](int) {});
    if (decoder.open(io)) {
        // A seek into the middle exercises the bridge's repositioning too.
        if (!plain.isEmpty() && plain.back() & 1) {
            decoder.requestSeek(decoder.durationMs() > 0 ? decoder.durationMs() / 2 : 0);
        }
        decoder.decodeLoop();
    }
    return 0;
}
