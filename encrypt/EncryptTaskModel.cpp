#include "EncryptTaskModel.h"

#include <QFileInfo>
#include <atomic>

#include "CryptoUtils.h"

namespace {

std::atomic_int g_secretsHeld{0};

}  // namespace

EncryptTaskModel::EncryptTaskModel(QObject* parent)
    : QAbstractListModel(parent), m_secretsSource(&ContainerWriter::KeyMaterial::fresh)
{}

EncryptTaskModel::~EncryptTaskModel()
{
    for (const auto& task : m_tasks) {
        dropSecrets(*task);
    }
}

bool EncryptTaskModel::mayFollow(Status from, Status to)
{
    switch (to) {
        case Status::Waiting:
            // Added again once finished; a busy file keeps its way.
            return from == Status::Done || from == Status::Failed;
        case Status::Queued:
            // Started, or its key registered and the file waits for a worker.
            return from == Status::Waiting || from == Status::Uploading;
        case Status::Uploading:
            // Checked and sent, or sent again after no answer came.
            return from == Status::Queued || from == Status::UploadRetry;
        case Status::UploadRetry:
            return from == Status::Uploading;
        case Status::Encrypting:
            return from == Status::Queued || from == Status::Encrypting;
        case Status::Done:
            // Only a file the queue holds: its key is registered by then.
            return from == Status::Queued || from == Status::Encrypting;
        case Status::Failed:
            return from != Status::Waiting && from != Status::Done && from != Status::Failed;
    }
    return false;
}

int EncryptTaskModel::secretsHeld()
{
    return g_secretsHeld.load();
}

int EncryptTaskModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_tasks.size());
}

QVariant EncryptTaskModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.column() != 0 || index.row() < 0 || index.row() >= rowCount()) {
        return {};
    }
    const Task& t = *m_tasks.at(size_t(storeIndex(index.row())));
    switch (role) {
        case Qt::DisplayRole:
            // Once written, the container's own name is shown: it may carry
            // a number ("a (2).vcz") when the plain name was taken.
            return t.outPath.isEmpty() ? QFileInfo(t.srcPath).fileName()
                                       : QFileInfo(t.srcPath).fileName() + QStringLiteral(" → ") +
                                             QFileInfo(t.outPath).fileName();
        case PathRole:
            return t.srcPath;
        case StatusRole:
            return int(t.status);
        case StatusTextRole:
            return statusText(t);
        case NameToolTipRole:
            return t.outPath.isEmpty() ? t.srcPath : t.srcPath + QLatin1Char('\n') + t.outPath;
        case StatusToolTipRole:
            return t.status == Status::Failed || t.status == Status::UploadRetry ? t.errorText
                                                                                 : QString();
        case PercentRole:
            return t.percent;
        default:
            return {};
    }
}

QString EncryptTaskModel::statusText(const Task& t) const
{
    switch (t.status) {
        case Status::Waiting:
            return QStringLiteral("等待中");
        case Status::Queued:
            return QStringLiteral("排队中");
        case Status::Encrypting:
            return QStringLiteral("加密中 %1%").arg(t.percent);
        case Status::Uploading:
            return QStringLiteral("加密中...");
        case Status::Done:
            return QStringLiteral("已完成 · ") +
                   (t.finishedAt.isValid() ? t.finishedAt.toString(QStringLiteral("HH:mm:ss"))
                                           : QString());
        case Status::Failed:
            // A failed row says why on the row itself.
            return t.errorText.isEmpty() ? QStringLiteral("失败") : t.errorText;
        case Status::UploadRetry:
            return QStringLiteral("上传失败，可重试");
    }
    return {};
}

const EncryptTaskModel::Task* EncryptTaskModel::task(const QString& path) const
{
    const auto it = m_index.constFind(path);
    return it == m_index.cend() ? nullptr : m_tasks.at(size_t(*it)).get();
}

EncryptTaskModel::Task* EncryptTaskModel::find(const QString& path)
{
    return const_cast<Task*>(std::as_const(*this).task(path));
}

std::optional<EncryptTaskModel::Status> EncryptTaskModel::status(const QString& path) const
{
    const Task* t = task(path);
    return t ? std::optional<Status>(t->status) : std::nullopt;
}

int EncryptTaskModel::rowOf(const QString& path) const
{
    const auto it = m_index.constFind(path);
    return it == m_index.cend() ? -1 : rowOfStore(*it);
}

QString EncryptTaskModel::pathOfKey(const QString& keyId) const
{
    // Asked once per server answer, never per frame or tick.
    for (const auto& t : m_tasks) {
        if (!keyId.isEmpty() && t->videoId == keyId) {
            return t->srcPath;
        }
    }
    return {};
}

QStringList EncryptTaskModel::pathsIn(Status status) const
{
    QStringList paths;
    for (const auto& t : m_tasks) {
        if (t->status == status) {
            paths << t->srcPath;
        }
    }
    paths.sort();
    return paths;
}

QList<const EncryptTaskModel::Task*> EncryptTaskModel::tasks() const
{
    QList<const Task*> all;
    for (const auto& t : m_tasks) {
        all << t.get();
    }
    return all;
}

bool EncryptTaskModel::add(const QString& path)
{
    if (Task* t = find(path)) {
        if (!moveTo(*t, Status::Waiting)) {
            return false;
        }
        t->percent = 0;
        t->outPath.clear();
        t->videoId.clear();
        t->errorText.clear();
        t->finishedAt = QDateTime();
        t->outputDir.clear();
        t->registered = false;
        dropSecrets(*t);
        changed(*t);
        return true;
    }
    beginInsertRows(QModelIndex(), 0, 0);
    auto t = std::make_unique<Task>();
    t->srcPath = path;
    m_index.insert(path, int(m_tasks.size()));
    m_tasks.push_back(std::move(t));
    endInsertRows();
    return true;
}

bool EncryptTaskModel::remove(const QString& path)
{
    const Task* t = task(path);
    if (!t || t->status != Status::Waiting) {
        return false;
    }
    const int row = rowOf(path);
    beginRemoveRows(QModelIndex(), row, row);
    m_tasks.erase(m_tasks.begin() + storeIndex(row));
    reindex();
    endRemoveRows();
    return true;
}

void EncryptTaskModel::reindex()
{
    m_index.clear();
    for (size_t i = 0; i < m_tasks.size(); ++i) {
        m_index.insert(m_tasks[i]->srcPath, int(i));
    }
}

bool EncryptTaskModel::start(const QString& path, const QString& outputDir)
{
    Task* t = find(path);
    // Queued also follows a registration; only a waiting row starts.
    if (!t || t->status != Status::Waiting || !moveTo(*t, Status::Queued)) {
        return false;
    }
    t->outputDir = outputDir;
    t->registered = false;
    giveSecrets(*t, m_secretsSource());
    t->videoId = CryptoUtils::formatVideoId(t->secrets.videoId);
    const bool complete = t->secrets.isComplete();
    if (!complete) {
        dropSecrets(*t);
    }
    changed(*t);
    return complete;
}

bool EncryptTaskModel::markUploading(const QString& path)
{
    Task* t = find(path);
    // A registered row waits for a worker; its key is not sent twice.
    if (!t || t->registered || !moveTo(*t, Status::Uploading)) {
        return false;
    }
    t->errorText.clear();
    changed(*t);
    return true;
}

std::optional<ContainerWriter::KeyMaterial> EncryptTaskModel::markRegistered(const QString& path)
{
    Task* t = find(path);
    if (!t || t->status != Status::Uploading || !moveTo(*t, Status::Queued)) {
        return std::nullopt;
    }
    t->registered = true;
    // The caller's copy is the one the queue needs; the row's goes now.
    ContainerWriter::KeyMaterial handed = t->secrets;
    dropSecrets(*t);
    changed(*t);
    return handed;
}

bool EncryptTaskModel::markUncertain(const QString& path, const QString& reason)
{
    Task* t = find(path);
    if (!t || !moveTo(*t, Status::UploadRetry)) {
        return false;
    }
    // The server may hold the key already: the row keeps it, so a retry
    // sends the same registration.
    t->errorText = reason;
    changed(*t);
    return true;
}

bool EncryptTaskModel::setProgress(const QString& path, int percent)
{
    Task* t = find(path);
    // Progress belongs to a file the queue holds, never to one still
    // waiting for its key.
    if (!t || (t->status == Status::Queued && !t->registered) || !moveTo(*t, Status::Encrypting)) {
        return false;
    }
    t->percent = qBound(0, percent, 100);
    changed(*t);
    return true;
}

bool EncryptTaskModel::finish(const QString& path, const QString& outPath, const QDateTime& when)
{
    Task* t = find(path);
    if (!t || !t->registered || !moveTo(*t, Status::Done)) {
        return false;
    }
    t->outPath = outPath;
    t->errorText.clear();
    t->finishedAt = when;
    dropSecrets(*t);
    changed(*t);
    return true;
}

bool EncryptTaskModel::fail(const QString& path, const QString& reason)
{
    Task* t = find(path);
    if (!t || !moveTo(*t, Status::Failed)) {
        return false;
    }
    t->errorText = reason;
    t->videoId.clear();
    dropSecrets(*t);
    changed(*t);
    return true;
}

bool EncryptTaskModel::moveTo(Task& task, Status to)
{
    if (!mayFollow(task.status, to)) {
        return false;
    }
    task.status = to;
    return true;
}

void EncryptTaskModel::giveSecrets(Task& task, ContainerWriter::KeyMaterial secrets)
{
    dropSecrets(task);
    task.secrets = std::move(secrets);
    if (!task.secrets.key.isEmpty()) {
        ++g_secretsHeld;
    }
}

void EncryptTaskModel::dropSecrets(Task& task)
{
    if (!task.secrets.key.isEmpty()) {
        --g_secretsHeld;
    }
    task.secrets.wipe();
}

void EncryptTaskModel::changed(const Task& task)
{
    const QModelIndex at = index(rowOf(task.srcPath));
    emit dataChanged(at, at);
}
