#include "EncryptTask.h"

#include <QFileInfo>
#include <QtGlobal>

#include "ContainerWriter.h"
#include "CryptoUtils.h"
#include "PoolHandOff.h"

EncryptTask::EncryptTask(const QString& srcPath, const QString& outPath,
                         const std::atomic_bool* stop, const ContainerWriter::KeyMaterial& material)
    : m_srcPath(srcPath), m_outPath(outPath), m_stop(stop), m_material(material)
{
    setAutoDelete(false);
}

void EncryptTask::run()
{
    takeOver(this);
    // Handed back on every way out, before the pool reports the task done.
    struct HandBack
    {
        EncryptTask* task;
        ~HandBack()
        {
            // Before the pool can count this task done: its wait returns
            // before a retired thread's own exit handlers run.
            CryptoUtils::releaseThreadState();
            handOver(task);
        }
    } handBack{this};

    // Copies: after finished is emitted the owner may release this object,
    // so nothing below that point reads a member.
    const QString src = m_srcPath;

    if (m_stop && m_stop->load(std::memory_order_relaxed)) {
        emit finished(src, false, QString(),
                      ContainerWriter::messageFor(ContainerWriter::Error::Stopped), {}, {}, {});
        return;
    }

    // Opening a FIFO would block this thread until somebody writes to it,
    // beyond the reach of the stop flag; a device never ends. Only regular
    // files are sources.
    if (!QFileInfo(src).isFile()) {
        emit finished(src, false, QString(),
                      ContainerWriter::messageFor(ContainerWriter::Error::OpenSource), {}, {}, {});
        return;
    }

    const auto progressFn = [this, &src](int percent) {
        emit progress(src, qBound(0, percent, 100));
    };
    ContainerWriter::Result result =
        m_material.videoId.isEmpty()
            ? ContainerWriter::write(src, m_outPath, progressFn, m_stop)
            : ContainerWriter::write(src, m_outPath, m_material, progressFn, m_stop);
    m_material.wipe();

    if (!result.ok) {
        emit finished(src, false, QString(), result.message, {}, {}, {});
        return;
    }
    // The signal carries its own copies; the result wipes this holder's
    // secrets when it goes out of scope.
    emit finished(src, true, result.outPath, QString(), result.videoId, result.iv, result.key);
}
