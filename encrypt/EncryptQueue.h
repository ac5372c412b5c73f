#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <atomic>
#include <memory>
#include <vector>

#include "ContainerWriter.h"

class EncryptTask;

// Runs batches of encryption tasks on a pool of its own with two threads and
// reports each file's outcome on the thread the queue lives on (the GUI
// thread), then once that the batch has ended.
class EncryptQueue : public QObject
{
    Q_OBJECT

public:
    // Two encryptions at once keep both cores busy without letting a large
    // batch starve the rest of the program of disk and processor.
    static constexpr int kWorkerThreads = 2;

    explicit EncryptQueue(QObject* parent = nullptr);
    // Cancels the running batch (without notifications) instead of waiting
    // for every queued file to be written.
    ~EncryptQueue() override;

    // The directory of the files enqueued from now on.
    void setOutputDir(const QString& dir);
    // Files whose containers get fresh secrets of their own.
    void enqueue(const QStringList& files);
    // A file sealed under the given secrets (their key already registered).
    void enqueue(const QString& file, const ContainerWriter::KeyMaterial& material);
    // Submits the pending files. When no batch runs they start one; while
    // one runs they join it, and allEncrypted comes once all have reported.
    // Each file gets an output name of its own: a name already taken in the
    // batch or already on disk gets a number, "a (2).vcz", so no container
    // replaces another.
    void start();

    // True from start() until the batch's allEncrypted.
    bool isRunning() const { return m_doneCount < m_totalCount; }

    // Stops the running tasks between two chunks, drops the ones not started
    // and returns once no task runs any more; stopped writes leave no file.
    // Files whose outcome was not yet reported are reported now (a finished
    // container as taskEncrypted, everything else as taskFailed "加密已取消"),
    // followed by allEncrypted, so the caller's bookkeeping ends cleanly.
    void cancel();

    // Where src would go in dir, given the names already taken.
    static QString distinctOutputPath(const QString& srcPath, const QString& dir,
                                      const QSet<QString>& taken);

signals:
    void taskProgress(QString file, int percent);
    void taskEncrypted(QString file, QString outPath, QByteArray videoId, QByteArray iv,
                       QByteArray key);
    void taskFailed(QString file, QString errorMsg);
    void allEncrypted();

public slots:
    void onTaskFinished(QString file, bool ok, QString outPath, QString err, QByteArray videoId,
                        QByteArray iv, QByteArray key);

private:
    // Deletes the tasks of the ended batch once the pool has let go of them.
    void releaseTasks();

    // The stop flag is read by the pool threads; everything else belongs to
    // the queue's thread.
    std::atomic_bool m_stop{false};
    struct Pending
    {
        QString file;
        QString outputDir;
        ContainerWriter::KeyMaterial material;  // empty: fresh secrets
    };
    QList<Pending> m_pending;
    QString m_outputDir;
    // Output names handed out in the running batch; its containers appear
    // on disk only when each is complete.
    QSet<QString> m_taken;
    int m_totalCount = 0;
    int m_doneCount = 0;
    QHash<QString, int> m_unreported;  // sources of the batch still to report, with their count
    std::vector<std::unique_ptr<EncryptTask>> m_tasks;
    // Last member: destroyed first, after the destructor has emptied it.
    QThreadPool m_pool;
};
