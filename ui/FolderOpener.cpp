#include "FolderOpener.h"

#include <QDesktopServices>
#include <QDir>
#include <QUrl>

#include "ConfirmDialog.h"

FolderOpener::FolderOpener(Opener opener)
{
    setOpener(opener);
}

void FolderOpener::setOpener(const Opener& opener)
{
    m_opener =
        opener ? opener : Opener([](const QUrl& url) { return QDesktopServices::openUrl(url); });
}

QString FolderOpener::failureMessage(const QString& dir)
{
    return QStringLiteral("系统中没有可以打开文件夹的程序。请自行前往：\n%1")
        .arg(QDir::toNativeSeparators(dir));
}

bool FolderOpener::open(QWidget* parent, const QString& dir) const
{
    if (m_opener(QUrl::fromLocalFile(dir))) {
        return true;
    }
    ConfirmDialog::alert(parent, QStringLiteral("无法打开文件夹"), failureMessage(dir));
    return false;
}
