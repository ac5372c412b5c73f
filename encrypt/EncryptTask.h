#pragma once

#include <QByteArray>
#include <QObject>
#include <QRunnable>
#include <QString>
#include <atomic>

#include "ContainerWriter.h"

// Encrypts one source file into one container on a pool thread, through the
// shared container writer. The pool never deletes it (auto-deletion is off):
// its owner, the queue, releases it once the pool is done with it, so the
// notification can be the last thing run() does with the object.
class EncryptTask : public QObject, public QRunnable
{
    Q_OBJECT

public:
    // stop, when given, must outlive the task; it is polled between chunks.
    // Without material the container gets fresh secrets of its own.
    EncryptTask(const QString& srcPath, const QString& outPath,
                const std::atomic_bool* stop = nullptr,
                const ContainerWriter::KeyMaterial& material = {});

    void run() override;

    QString srcPath() const { return m_srcPath; }
    QString outPath() const { return m_outPath; }

signals:
    // percent is whole and within 0..100, emitted only when it changes.
    void progress(QString srcPath, int percent);
    // On failure outPath, videoId, iv and key are empty.
    void finished(QString srcPath, bool success, QString outPath, QString error, QByteArray videoId,
                  QByteArray iv, QByteArray key);

private:
    // Set in the constructor, read-only afterwards: safe from any thread.
    const QString m_srcPath;
    const QString m_outPath;
    const std::atomic_bool* const m_stop;
    // Read by run() only, then wiped there.
    ContainerWriter::KeyMaterial m_material;
};
