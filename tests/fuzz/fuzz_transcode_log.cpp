// The encoder's log as the transcode service reads it: arbitrary text in
// reads of arbitrary size. The first byte picks the read sizes, so the
// fuzzer also tries lines cut at every point. Every answer is a percent in
// 0..99 or -1.
#include <QByteArray>
#include <cstdint>
#include <cstdlib>

#include "TranscodeLogParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    // 1..64 bytes per read, varying from read to read.
    const unsigned step = data[0];
    const QByteArray log(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));

    TranscodeLogParser parser;
    qsizetype at = 0;
    unsigned turn = 0;
    while (at < log.size()) {
        const qsizetype n = 1 + (step * 31 + turn++ * 17) % 64;
        const int percent = parser.feed(log.mid(at, n));
        if (percent < -1 || percent > 99) {
            std::abort();
        }
        at += n;
    }
    if (parser.durationMs() < 0) {
        std::abort();
    }
    // And the whole log in one read.
    TranscodeLogParser whole;
    const int percent = whole.feed(log);
    if (percent < -1 || percent > 99 || whole.durationMs() < 0) {
        std::abort();
    }
    return 0;
}
