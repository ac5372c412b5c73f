// Unpaced decoding of a sealed clip through the decrypting input and
// MediaDecoder, against `ffmpeg -threads 0 -i plain -f null -` on the plain
// file, plus the cost of the decryption alone. Every error the decoder
// reports is printed (a run that failed half-way is no figure), and the
// peer's figures are also given without its process start-up, measured as
// `ffmpeg -version` in the same run.
// Usage: bench_decode CONTAINER KEY_BASE64 PLAIN
#include <sys/resource.h>
#include <time.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <algorithm>
#include <cstdio>

#include "DecryptingInput.h"
#include "MediaDecoder.h"

extern "C" {
#include <libavformat/avio.h>
}

namespace {

// Runs of `ffmpeg -version` whose best gives the peer's start-up cost.
constexpr int kStartupRuns = 5;

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double childrenCpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_decode CONTAINER KEY_BASE64 PLAIN\n");
        return 2;
    }
    const QString container = QString::fromLocal8Bit(argv[1]);
    const QByteArray key = QByteArray::fromBase64(argv[2]);
    const QString plain = QString::fromLocal8Bit(argv[3]);

    // 1. The whole pipeline, as the player's worker runs it, without a clock.
    int video = 0;
    int audio = 0;
    MediaDecoder decoder;
    QObject::connect(&decoder, &MediaDecoder::videoFrameReady, [&](const FrameRef& f) { ++video; });
    QObject::connect(&decoder, &MediaDecoder::audioFrameReady, [&](const FrameRef& f) { ++audio; });
    QStringList errors;
    QObject::connect(&decoder, &MediaDecoder::errorOccurred,
                     [&](const QString& m) { errors << m; });
    QElapsedTimer wall;
    double cpu0 = processCpuSeconds();
    wall.start();
    if (!decoder.open(openDecryptingInput(container, key))) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    decoder.decodeLoop();
    const double oursWall = wall.nsecsElapsed() / 1e9;
    const double oursCpu = processCpuSeconds() - cpu0;
    decoder.close();

    // 2. Decryption alone: every payload byte through the bridge.
    cpu0 = processCpuSeconds();
    AVIOContext* io = openDecryptingInput(container, key);
    QByteArray buffer(1 << 16, '\0');
    qint64 bytes = 0;
    for (int n; (n = avio_read(io, reinterpret_cast<unsigned char*>(buffer.data()),
                               int(buffer.size()))) > 0;) {
        bytes += n;
    }
    closeDecryptingInput(io);
    const double decryptCpu = processCpuSeconds() - cpu0;

    // 3. The reference decoder on the plain file, a thread per core as ours.
    const double child0 = childrenCpuSeconds();
    wall.restart();
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedChannels);
    ffmpeg.start(
        QStringLiteral("ffmpeg"),
        {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
         QStringLiteral("-threads"), QStringLiteral("0"), QStringLiteral("-i"), plain,
         QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    if (!ffmpeg.waitForFinished(-1) || ffmpeg.exitCode() != 0) {
        std::fprintf(stderr, "ffmpeg failed\n");
        return 1;
    }
    const double refWall = wall.nsecsElapsed() / 1e9;
    const double refCpu = childrenCpuSeconds() - child0;

    // The peer's process start-up (loading and linking its libraries),
    // which our in-process figure does not pay: best of a few runs.
    double startWall = 1e9;
    double startCpu = 1e9;
    for (int i = 0; i < kStartupRuns; ++i) {
        const double c0 = childrenCpuSeconds();
        wall.restart();
        QProcess version;
        version.start(QStringLiteral("ffmpeg"),
                      {QStringLiteral("-hide_banner"), QStringLiteral("-version")});
        version.waitForFinished(-1);
        startWall = std::min(startWall, wall.nsecsElapsed() / 1e9);
        startCpu = std::min(startCpu, childrenCpuSeconds() - c0);
    }

    std::printf("video frames          %d (audio frames %d)\n", video, audio);
    std::printf("MediaDecoder (sealed) %7.1f fps  %6.3f s CPU  %6.3f s wall\n", video / oursWall,
                oursCpu, oursWall);
    std::printf("ffmpeg -threads 0     %7.1f fps  %6.3f s CPU  %6.3f s wall\n", video / refWall,
                refCpu, refWall);
    std::printf(
        "ffmpeg minus start-up %7.1f fps  %6.3f s CPU  %6.3f s wall (start-up %.3f s "
        "CPU, %.3f s wall)\n",
        video / (refWall - startWall), refCpu - startCpu, refWall - startWall, startCpu, startWall);
    std::printf("CPU ratio ours/ffmpeg %7.3f (%.3f without its start-up)\n", oursCpu / refCpu,
                oursCpu / (refCpu - startCpu));
    std::printf("decryption alone      %6.3f s CPU for %.1f MB = %.2f %% of our decode CPU\n",
                decryptCpu, bytes / 1e6, 100.0 * decryptCpu / oursCpu);
    for (const QString& e : errors) {
        std::printf("decoder error: %s\n", qPrintable(e));
    }
    return errors.isEmpty() ? 0 : 1;
}
