#include "TranscodeService.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>
#include <filesystem>
#include <system_error>

namespace {

#ifdef Q_OS_WIN
const QString kEncoderName = QStringLiteral("ffmpeg.exe");
#else
const QString kEncoderName = QStringLiteral("ffmpeg");
#endif

QString failedText()
{
    return QStringLiteral("转码失败，可能是源文件格式不受支持或已损坏。");
}

QString protocolPath(const QString& path)
{
    return QStringLiteral("file:") + QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

}  // namespace

TranscodeService::TranscodeService(QObject* parent) : QObject(parent) {}

TranscodeService::~TranscodeService()
{
    // Nobody listens any more; the partial output is still ours to remove.
    blockSignals(true);
    cancel();
}

QString TranscodeService::findEncoder()
{
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(kEncoderName);
#ifdef Q_OS_WIN
    return QFileInfo(beside).isFile() ? beside : QString();
#else
    const QFileInfo local(beside);
    if (local.isFile() && local.isExecutable()) {
        return beside;
    }
    return QStandardPaths::findExecutable(kEncoderName);
#endif
}

void TranscodeService::setEncoderPath(const QString& path)
{
    m_encoder = path;
    m_encoderSet = true;
}

int TranscodeService::rateFactor(int quality)
{
    switch (quality) {
        case NearOriginal:
            return 22;
        case Smallest:
            return 30;
        default:
            return 26;
    }
}

bool TranscodeService::samePath(const QString& a, const QString& b)
{
    const QFileInfo fa(a);
    const QFileInfo fb(b);
    // A target that does not exist yet may still sit in a linked folder:
    // resolve its folder and add the name.
    auto resolved = [](const QFileInfo& f) {
        const QString canonical = f.canonicalFilePath();
        if (!canonical.isEmpty()) {
            return canonical;
        }
        const QString dir = QFileInfo(f.absolutePath()).canonicalFilePath();
        return dir.isEmpty() ? QDir::cleanPath(f.absoluteFilePath())
                             : QDir(dir).filePath(f.fileName());
    };
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    return resolved(fa).compare(resolved(fb), cs) == 0;
}

QStringList TranscodeService::arguments(const QString& input, const QString& output, int quality)
{
    return {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"), QStringLiteral("-y"),
            QStringLiteral("-i"), protocolPath(input), QStringLiteral("-c:v"),
            QStringLiteral("libx264"), QStringLiteral("-preset"), QStringLiteral("medium"),
            QStringLiteral("-crf"), QString::number(rateFactor(quality)), QStringLiteral("-c:a"),
            QStringLiteral("aac"), QStringLiteral("-b:a"), QStringLiteral("128k"),
            QStringLiteral("-movflags"), QStringLiteral("+faststart"),
            // The temporary name does not end in .mp4 for every caller; the
            // container is not left to a guess from the name.
            QStringLiteral("-f"), QStringLiteral("mp4"), protocolPath(output)};
}

void TranscodeService::transcode(const QString& inputPath, const QString& outputPath, int quality,
                                 bool replaceExisting)
{
    if (m_process) {
        return;
    }
    m_parser.reset();
    m_outputPath = outputPath;
    m_tempPath.clear();

    const QString encoder = m_encoderSet ? m_encoder : findEncoder();
    if (encoder.isEmpty() || !QFileInfo(encoder).isFile()) {
        emit finished(false,
                      QStringLiteral("未找到转码组件 %1，请确认安装完整。").arg(kEncoderName));
        return;
    }
    // Only a regular file is read: a FIFO or a device would hang the encoder.
    if (!QFileInfo(inputPath).isFile()) {
        emit finished(false, QStringLiteral("源文件不存在或不是普通文件。"));
        return;
    }
    if (samePath(inputPath, outputPath)) {
        emit finished(false, QStringLiteral("保存位置不能和源文件相同。"));
        return;
    }
    const QFileInfo target(outputPath);
    if (target.exists() && (!replaceExisting || !target.isFile())) {
        emit finished(false, QStringLiteral("保存位置已有同名文件。"));
        return;
    }

    // Reserves a name of our own beside the target; the encoder overwrites it.
    // The reservation's handle is gone before anything else happens: close()
    // keeps a temporary file open, and Windows removes no file that is open,
    // so an encoder that fails at once would otherwise leave the name behind.
    {
        QTemporaryFile temp(
            QDir(target.absolutePath())
                .filePath(QStringLiteral(".%1.XXXXXX.part").arg(target.fileName())));
        temp.setAutoRemove(false);
        if (!temp.open()) {
            emit finished(false, QStringLiteral("无法在保存位置创建文件，请检查目录和权限。"));
            return;
        }
        m_tempPath = temp.fileName();
    }

    m_process = new QProcess(this);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &TranscodeService::onStdErr);
    connect(m_process, &QProcess::finished, this, &TranscodeService::onProcessFinished);
    connect(m_process, &QProcess::errorOccurred, this, &TranscodeService::onProcessError);

    m_startTimer = new QTimer(m_process);
    m_startTimer->setSingleShot(true);
    connect(m_startTimer, &QTimer::timeout, this, &TranscodeService::onStartTimeout);
    connect(m_process, &QProcess::started, m_startTimer, &QTimer::stop);
    m_startTimer->start(kStartTimeoutMs);

    // A program and its arguments, no shell: nothing in a name is interpreted.
    m_process->start(encoder, arguments(inputPath, m_tempPath, quality), QIODevice::ReadOnly);
}

void TranscodeService::cancel()
{
    if (!m_process) {
        return;
    }
    end(false, QStringLiteral("已取消转码。"));
}

void TranscodeService::onStdErr()
{
    if (!m_process) {
        return;
    }
    const int percent = m_parser.feed(m_process->readAllStandardOutput());
    if (percent >= 0) {
        emit progress(percent);
    }
}

void TranscodeService::onProcessFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!m_process) {
        return;
    }
    onStdErr();  // the last lines may come with the end
    const QFileInfo temp(m_tempPath);
    if (status != QProcess::NormalExit || exitCode != 0 || !temp.isFile() || temp.size() == 0) {
        end(false, failedText());
        return;
    }
    // Replaces an existing target (confirmed by the caller) in one step.
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(m_tempPath.toStdU16String()),
                            std::filesystem::path(m_outputPath.toStdU16String()), error);
    if (error) {
        end(false, QStringLiteral("无法保存转换结果，请检查保存位置。"));
        return;
    }
    m_tempPath.clear();
    emit progress(100);
    end(true, m_outputPath);
}

void TranscodeService::onProcessError(QProcess::ProcessError error)
{
    if (m_process && error == QProcess::FailedToStart) {
        end(false, QStringLiteral("无法启动转码进程。"));
    }
}

void TranscodeService::onStartTimeout()
{
    if (m_process && m_process->state() != QProcess::Running) {
        end(false, QStringLiteral("无法启动转码进程。"));
    }
}

void TranscodeService::end(bool success, const QString& message)
{
    dropProcess();
    if (!m_tempPath.isEmpty()) {
        QFile::remove(m_tempPath);
        m_tempPath.clear();
    }
    emit finished(success, message);
}

void TranscodeService::dropProcess()
{
    QProcess* process = m_process;
    m_process = nullptr;
    m_startTimer = nullptr;
    if (!process) {
        return;
    }
    // Whatever the process does from now on reaches nobody.
    process->disconnect(this);
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(kKillWaitMs);
    }
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
    } else {
        // Still dying: let it go when it ends rather than block here.
        connect(process, &QProcess::finished, process, &QObject::deleteLater);
    }
}
