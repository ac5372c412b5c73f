// vcz: seals media files into .vcz containers and inspects container headers.
// Keys leave this tool only in the JSON that `seal` prints for registration
// with the server; nothing here accepts a key or decrypts.
#include <stdio.h>

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <variant>

#include "ContainerFormat.h"
#include "ContainerWriter.h"
#include "CryptoUtils.h"
#include "VeilcastVersion.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void err(const QString& text)
{
    std::fprintf(stderr, "vcz: %s\n", qPrintable(text));
}

void out(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString describe(ContainerWriter::Error error)
{
    using E = ContainerWriter::Error;
    switch (error) {
        case E::None:
            break;
        case E::OpenSource:
            return QStringLiteral("cannot open the source");
        case E::CreateOutput:
            return QStringLiteral("cannot create the container");
        case E::CipherInit:
            return QStringLiteral("cannot initialise the cipher");
        case E::Cipher:
            return QStringLiteral("the cipher failed");
        case E::ReadSource:
            return QStringLiteral("reading the source failed; no container written");
        case E::WriteOutput:
            return QStringLiteral(
                "writing the container failed (disk full?); no container written");
        case E::Stopped:
            return QStringLiteral("stopped");
    }
    return QStringLiteral("failed");
}

#ifndef Q_OS_WIN
QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
#endif

// Why a path cannot be sealed, or empty when it is a regular file. Only the
// file's type is looked at: a FIFO would block a reader for ever and a
// device such as /dev/zero never ends (it would fill the disk).
QString notSealable(const QString& path)
{
#ifdef Q_OS_WIN
    // Asked of the opened file itself, as the player does: the wide call
    // takes any name, and a device such as NUL is no regular file even
    // where a name lookup finds nothing.
    const QString native = QDir::toNativeSeparators(path);
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(native.utf16()), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return QStringLiteral("cannot open the source (%1)")
            .arg(qt_error_string(static_cast<int>(GetLastError())));
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
    const bool known = disk && GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return QStringLiteral("is a directory, not a file");
    }
    if (!known) {
        return QStringLiteral(
            "not a regular file (a FIFO, socket or device); only files are sealed");
    }
    return {};
#else
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return QStringLiteral("cannot open the source (%1)").arg(systemReason(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        return QStringLiteral("is a directory, not a file");
    }
    if (!S_ISREG(info.st_mode)) {
        return QStringLiteral(
            "not a regular file (a FIFO, socket or device); only files are sealed");
    }
    return {};
#endif
}

// Puts the finished container in place. Without force an existing file
// there is never replaced, even one that appeared while sealing: the move
// fails instead of overwriting, atomically.
bool install(const QString& temp, const QString& target, bool force, QString* why)
{
#ifdef Q_OS_WIN
    // Without MOVEFILE_REPLACE_EXISTING the move itself refuses a taken name.
    const QString from = QDir::toNativeSeparators(temp);
    const QString to = QDir::toNativeSeparators(target);
    if (MoveFileExW(reinterpret_cast<const wchar_t*>(from.utf16()),
                    reinterpret_cast<const wchar_t*>(to.utf16()),
                    force ? MOVEFILE_REPLACE_EXISTING : 0)) {
        return true;
    }
    const DWORD error = GetLastError();
    *why = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
               ? QStringLiteral("it already exists")
               : qt_error_string(static_cast<int>(error));
    return false;
#else
    const QByteArray from = QFile::encodeName(temp);
    const QByteArray to = QFile::encodeName(target);
    if (force) {
        if (::rename(from.constData(), to.constData()) == 0) {
            return true;
        }
        *why = systemReason(errno);
        return false;
    }
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno == EINVAL || errno == ENOSYS) {
        // A file system without the no-replace move: a hard link is just as
        // refusing when the name is taken.
        if (::link(from.constData(), to.constData()) == 0) {
            ::unlink(from.constData());
            return true;
        }
    }
    *why = errno == EEXIST ? QStringLiteral("it already exists") : systemReason(errno);
    return false;
#endif
}

int usage(FILE* to, int code)
{
    std::fprintf(to,
                 "usage: vcz seal [--force] SRC... -o DIR\n"
                 "       vcz info [--json] FILE...\n"
                 "       vcz --version\n"
                 "\n"
                 "seal  encrypts each SRC into DIR/<name>.vcz under a fresh key and prints one\n"
                 "      JSON object per file: source, container, videoId, key, iv, sourceSize.\n"
                 "      Keep that output secret; it is what the server registers. An existing\n"
                 "      DIR/<name>.vcz is never replaced (its registered key stays valid)\n"
                 "      unless --force is given. Only regular files are sealed.\n"
                 "info  checks container headers and prints the video id, iv and sizes.\n");
    return code;
}

struct SealOptions
{
    QStringList sources;
    QString outDir;
    bool force = false;
};

// The options of `seal`, or the exit code of a usage error.
std::variant<SealOptions, int> parseSeal(const QStringList& args)
{
    SealOptions o;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--force")) {
            o.force = true;
        } else if (a == QLatin1String("-o") || a == QLatin1String("--output")) {
            if (i + 1 >= args.size()) {
                err(QStringLiteral("-o needs a directory"));
                return usage(stderr, kExitUsage);
            }
            o.outDir = args[++i];
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            err(QStringLiteral("unknown option %1").arg(a));
            return usage(stderr, kExitUsage);
        } else {
            o.sources << a;
        }
    }
    if (o.sources.isEmpty() || o.outDir.isEmpty()) {
        return usage(stderr, kExitUsage);
    }
    return o;
}

// Why `src` may not be sealed to `target` in this run; empty when it may.
QString sealRefusal(const QString& src, const QString& target, bool force,
                    const QSet<QString>& written)
{
    // Two sources with the same base name would silently replace the first
    // container, whose key was already printed; refuse instead.
    if (written.contains(target)) {
        return QStringLiteral("skipped, %1 was already written from another source in this run")
            .arg(target);
    }
    const QString refusal = notSealable(src);
    if (!refusal.isEmpty()) {
        return refusal;
    }
    // Checked before the work as well as at the move, so a refusal is quick;
    // the move is what makes it certain.
    if (!force && QFileInfo(target).exists()) {
        return QStringLiteral(
                   "skipped, %1 already exists (its key may be registered); "
                   "use --force to replace it")
            .arg(target);
    }
    return {};
}

void printSealed(const QString& src, const QString& target, const ContainerWriter::Result& r)
{
    QJsonObject o;
    o.insert(QStringLiteral("source"), QFileInfo(src).absoluteFilePath());
    o.insert(QStringLiteral("container"), target);
    o.insert(QStringLiteral("videoId"), CryptoUtils::formatVideoId(r.videoId));
    o.insert(QStringLiteral("key"), QString::fromLatin1(r.key.toBase64()));
    o.insert(QStringLiteral("iv"), QString::fromLatin1(r.iv.toBase64()));
    o.insert(QStringLiteral("sourceSize"), static_cast<double>(r.sourceSize));
    QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact);
    out(line);
    CryptoUtils::secureWipe(line);
}

// Seals one source into `target` and prints its line; false (with the reason
// on stderr) when nothing was written.
bool sealOne(const QString& src, const QString& target, bool force, bool showProgress)
{
    const QString name = QFileInfo(src).fileName();
    auto progress = [&](int percent) {
        std::fprintf(stderr, "\r%s: %3d%%", qPrintable(name), percent);
        std::fflush(stderr);
    };
    // Sealed under a name of its own next to the target, then moved.
    const QString temp = QFileInfo(target).dir().filePath(
        QStringLiteral(".%1.sealing-%2").arg(QFileInfo(target).fileName()).arg(getpid()));
    ContainerWriter::Result r = ContainerWriter::write(
        src, temp,
        showProgress ? ContainerWriter::ProgressFn(progress) : ContainerWriter::ProgressFn());
    if (showProgress) {
        std::fputc('\n', stderr);
    }
    if (!r.ok) {
        err(QStringLiteral("%1: %2%3")
                .arg(src, describe(r.error),
                     r.detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(r.detail)));
        return false;
    }
    QString why;
    if (!install(temp, target, force, &why)) {
        QFile::remove(temp);
        err(QStringLiteral("%1: not written to %2: %3").arg(src, target, why));
        return false;
    }
    printSealed(src, target, r);
    return true;
}

int seal(const QStringList& args)
{
    const auto parsed = parseSeal(args);
    if (const int* code = std::get_if<int>(&parsed)) {
        return *code;
    }
    const SealOptions& o = std::get<SealOptions>(parsed);
    if (!QDir().mkpath(o.outDir)) {
        err(QStringLiteral("cannot create output directory %1").arg(o.outDir));
        return kExitFailed;
    }

#ifdef Q_OS_WIN
    const bool showProgress = _isatty(_fileno(stderr)) != 0;
#else
    const bool showProgress = isatty(STDERR_FILENO);
#endif
    QSet<QString> written;  // containers made in this run
    int failures = 0;
    for (const QString& src : o.sources) {
        const QString target =
            QFileInfo(ContainerWriter::outputPathFor(src, o.outDir)).absoluteFilePath();
        const QString refusal = sealRefusal(src, target, o.force, written);
        if (!refusal.isEmpty()) {
            err(QStringLiteral("%1: %2").arg(src, refusal));
            ++failures;
        } else if (sealOne(src, target, o.force, showProgress)) {
            written.insert(target);
        } else {
            ++failures;
        }
    }
    return failures ? kExitFailed : kExitOk;
}

int info(const QStringList& args)
{
    bool json = false;
    QStringList files;
    for (const QString& a : args) {
        if (a == QLatin1String("--json")) {
            json = true;
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            err(QStringLiteral("unknown option %1").arg(a));
            return usage(stderr, kExitUsage);
        } else {
            files << a;
        }
    }
    if (files.isEmpty()) {
        return usage(stderr, kExitUsage);
    }
    int failures = 0;
    for (const QString& path : files) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) {
            err(QStringLiteral("%1: cannot open: %2").arg(path, f.errorString()));
            ++failures;
            continue;
        }
        ContainerFormat::Header h;
        if (!ContainerFormat::parseHeader(f.read(ContainerFormat::kHeaderSize), &h)) {
            err(QStringLiteral(
                    "%1: not a container (needs the \"VCZ1\" magic and a 52-byte header)")
                    .arg(path));
            ++failures;
            continue;
        }
        const qint64 payload = f.size() - ContainerFormat::kHeaderSize;
        if (json) {
            QJsonObject o;
            o.insert(QStringLiteral("file"), path);
            o.insert(QStringLiteral("valid"), true);
            o.insert(QStringLiteral("keyId"), QString::fromLatin1(h.videoId.toHex()));
            o.insert(QStringLiteral("videoId"), CryptoUtils::formatVideoId(h.videoId));
            o.insert(QStringLiteral("iv"), QString::fromLatin1(h.iv.toHex()));
            // Only the low 32 bits are stored; named so, it is not taken
            // for the full size that seal prints.
            o.insert(QStringLiteral("sourceSizeLow32"), static_cast<double>(h.sourceSize));
            o.insert(QStringLiteral("payloadSize"), static_cast<double>(payload));
            out(QJsonDocument(o).toJson(QJsonDocument::Compact));
        } else {
            out(QStringLiteral("%1: valid container\n"
                               "  key id       %2\n"
                               "  video id     %3\n"
                               "  iv           %4\n"
                               "  source size  %5 (low 32 bits)\n"
                               "  payload      %6 bytes")
                    .arg(path, QString::fromLatin1(h.videoId.toHex()),
                         CryptoUtils::formatVideoId(h.videoId), QString::fromLatin1(h.iv.toHex()))
                    .arg(h.sourceSize)
                    .arg(payload)
                    .toUtf8());
        }
    }
    return failures ? kExitFailed : kExitOk;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        return usage(stderr, kExitUsage);
    }
    const QString command = args.takeFirst();
    if (command == QLatin1String("seal")) {
        return seal(args);
    }
    if (command == QLatin1String("info")) {
        return info(args);
    }
    if (command == QLatin1String("--version")) {
        std::printf("vcz %s\n", kVeilcastVersion);
        return kExitOk;
    }
    if (command == QLatin1String("-h") || command == QLatin1String("--help") ||
        command == QLatin1String("help")) {
        return usage(stdout, kExitOk);
    }
    err(QStringLiteral("unknown command %1").arg(command));
    return usage(stderr, kExitUsage);
}
