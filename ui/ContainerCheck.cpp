#include "ContainerCheck.h"

#include <QFile>
#include <QFileInfo>

#include "ContainerFormat.h"

namespace {

const QString kNotAContainer = QStringLiteral("不是加密视频（.vcz）文件");

// What the directory entry alone tells against path; empty for a regular file.
QString entryRefusal(const QFileInfo& info)
{
    if (info.filePath().isEmpty()) {
        return QStringLiteral("不是本机上的文件");
    }
    if (!info.exists()) {
        return QStringLiteral("文件不存在");
    }
    if (info.isDir()) {
        return QStringLiteral("这是文件夹，不是视频文件");
    }
    if (!info.isFile()) {
        return QStringLiteral("不是普通文件（管道或设备），不会被打开");
    }
    return {};
}

}  // namespace

QString ContainerCheck::misnamed(const QString& path)
{
    const QString reason = entryRefusal(QFileInfo(path));
    return reason.isEmpty() ? kNotAContainer : reason;
}

QString ContainerCheck::refusal(const QString& path)
{
    const QFileInfo info(path);
    if (const QString reason = entryRefusal(info); !reason.isEmpty()) {
        return reason;
    }
    QFile file(info.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("无法读取该文件");
    }
    const QByteArray head = file.read(ContainerFormat::kHeaderSize);
    if (head.size() < ContainerFormat::kHeaderSize) {
        return QStringLiteral("文件太短，不是完整的加密视频");
    }
    if (!ContainerFormat::parseHeader(head, nullptr)) {
        return kNotAContainer;
    }
    return {};
}
