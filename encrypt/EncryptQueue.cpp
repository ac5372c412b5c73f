#include "EncryptQueue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "ContainerWriter.h"
#include "EncryptTask.h"
#include "PoolHandOff.h"

EncryptQueue::EncryptQueue(QObject* parent) : QObject(parent)
{
    m_pool.setMaxThreadCount(kWorkerThreads);
}

EncryptQueue::~EncryptQueue()
{
    // Nobody listens any more; only the files matter.
    blockSignals(true);
    cancel();
}

void EncryptQueue::setOutputDir(const QString& dir)
{
    m_outputDir = dir;
}

void EncryptQueue::enqueue(const QStringList& files)
{
    for (const QString& file : files) {
        m_pending.append({file, m_outputDir, {}});
    }
}

void EncryptQueue::enqueue(const QString& file, const ContainerWriter::KeyMaterial& material)
{
    m_pending.append({file, m_outputDir, material});
}

QString EncryptQueue::distinctOutputPath(const QString& srcPath, const QString& dir,
                                         const QSet<QString>& taken)
{
    const QString first = ContainerWriter::outputPathFor(srcPath, dir);
    auto free = [&taken](const QString& path) {
        return !taken.contains(path) && !QFileInfo::exists(path);
    };
    if (free(first)) {
        return first;
    }
    const QString base = QFileInfo(srcPath).completeBaseName();
    for (int n = 2;; ++n) {
        const QString candidate =
            QDir(dir).filePath(QStringLiteral("%1 (%2).vcz").arg(base).arg(n));
        if (free(candidate)) {
            return candidate;
        }
    }
}

void EncryptQueue::start()
{
    if (m_pending.isEmpty()) {
        return;
    }
    if (!isRunning()) {
        // The last batch has ended; the pool lets go of its tasks at once.
        releaseTasks();
        m_stop.store(false);
        m_totalCount = 0;
        m_doneCount = 0;
        m_unreported.clear();
        m_taken.clear();
    }
    m_totalCount += int(m_pending.size());

    for (const Pending& item : std::as_const(m_pending)) {
        const QString outPath = distinctOutputPath(item.file, item.outputDir, m_taken);
        m_taken.insert(outPath);
        ++m_unreported[item.file];

        auto task = std::make_unique<EncryptTask>(item.file, outPath, &m_stop, item.material);
        connect(task.get(), &EncryptTask::progress, this, &EncryptQueue::taskProgress,
                Qt::QueuedConnection);
        connect(task.get(), &EncryptTask::finished, this, &EncryptQueue::onTaskFinished,
                Qt::QueuedConnection);
        handOver(task.get());
        m_pool.start(task.get(), 0);
        m_tasks.push_back(std::move(task));
    }
    m_pending.clear();
}

void EncryptQueue::onTaskFinished(QString file, bool ok, QString outPath, QString err,
                                  QByteArray videoId, QByteArray iv, QByteArray key)
{
    // A report of a batch that was cancelled has already been accounted for.
    auto it = m_unreported.find(file);
    if (it == m_unreported.end()) {
        return;
    }
    if (--it.value() == 0) {
        m_unreported.erase(it);
    }
    if (ok) {
        emit taskEncrypted(file, outPath, videoId, iv, key);
    } else {
        emit taskFailed(file, err);
    }
    ++m_doneCount;
    if (m_doneCount >= m_totalCount) {
        emit allEncrypted();
    }
}

void EncryptQueue::cancel()
{
    m_pending.clear();
    if (m_tasks.empty()) {
        return;
    }
    m_stop.store(true);
    // Not started: never will be. The queue still owns them.
    m_pool.clear();
    // Running tasks see the flag at their next chunk, a few milliseconds away.
    m_pool.waitForDone();

    // Every report that was posted before the tasks ended arrives now, so a
    // container finished just before the cancel is reported as such.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);

    const QString cancelled = ContainerWriter::messageFor(ContainerWriter::Error::Stopped);
    const QHash<QString, int> left = m_unreported;
    for (auto it = left.cbegin(); it != left.cend(); ++it) {
        for (int i = 0; i < it.value(); ++i) {
            onTaskFinished(it.key(), false, QString(), cancelled, {}, {}, {});
        }
    }
    releaseTasks();
    m_stop.store(false);
}

void EncryptQueue::releaseTasks()
{
    m_pool.waitForDone();
    for (const auto& task : m_tasks) {
        takeOver(task.get());
    }
    m_tasks.clear();
}
