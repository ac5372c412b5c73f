#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include "TranscodeLogParser.h"

class QTimer;

// Compression presets: the encoder's constant rate factor per choice.
enum TranscodeQuality
{
    NearOriginal = 0,
    Balanced = 1,
    Smallest = 2
};

// Compresses one video at a time to an H.264/AAC MP4 with the external
// FFmpeg program. The encoder writes to a temporary file beside the target,
// which is renamed into place only after a clean end, so a failed or
// cancelled run never leaves a partial file and never touches an existing
// file of the target's name.
class TranscodeService : public QObject
{
    Q_OBJECT

public:
    // A process that has not started after this long never will; it is killed.
    static constexpr int kStartTimeoutMs = 5000;
    // A killed encoder ends at once; this bounds the wait on the GUI thread.
    static constexpr int kKillWaitMs = 2000;

    explicit TranscodeService(QObject* parent = nullptr);
    ~TranscodeService() override;

    // The encoder: beside the executable ("ffmpeg.exe" on Windows, "ffmpeg"
    // elsewhere), else, outside Windows, the one on PATH. Empty when none.
    static QString findEncoder();
    static bool ffmpegAvailable() { return !findEncoder().isEmpty(); }
    // Replaces the encoder found by findEncoder (an empty path: none at all).
    void setEncoderPath(const QString& path);

    static int rateFactor(int quality);
    // Whether two paths name the same file: canonical paths when they exist
    // (case-insensitive on Windows), absolute clean paths otherwise.
    static bool samePath(const QString& a, const QString& b);
    // The encoder's arguments. Paths are absolute and carry the "file:"
    // protocol, so no name is ever read as an option or a URL.
    static QStringList arguments(const QString& input, const QString& output, int quality);

    // Ends in exactly one finished. Ignored (no signal) while a conversion
    // runs. An existing output is replaced only when replaceExisting is set
    // (the user confirmed it), and only by a finished conversion.
    void transcode(const QString& inputPath, const QString& outputPath, int quality,
                   bool replaceExisting = false);
    // Kills the encoder, removes its partial output and reports
    // "已取消转码。" before returning. Nothing when none runs.
    void cancel();
    bool isRunning() const { return m_process != nullptr; }

signals:
    // 0..99 while running, 100 once on success.
    void progress(int percent);
    // On success message is the output path, otherwise a sentence for the user.
    void finished(bool success, QString message);

private slots:
    void onStdErr();
    void onProcessFinished(int exitCode, QProcess::ExitStatus status);
    void onProcessError(QProcess::ProcessError error);
    void onStartTimeout();

private:
    // Stops and releases the process and the temporary file, then reports.
    void end(bool success, const QString& message);
    void dropProcess();

    // All fields: the GUI thread.
    QString m_encoder;
    bool m_encoderSet = false;
    QProcess* m_process = nullptr;  // child; exists exactly while a conversion runs
    QTimer* m_startTimer = nullptr;
    TranscodeLogParser m_parser;
    QString m_outputPath;
    QString m_tempPath;
};
