#include "KeyRequestLog.h"

#include "Store.h"

void KeyRequestLog::add(const KeyRequestEntry& entry)
{
    // Packed outside the lock, into room this thread keeps.
    thread_local QByteArray packed;
    KeyRequestBatch::pack(entry, &packed);
    QMutexLocker lock(&m_mutex);
    if (m_waiting.size() >= kMaxWaiting) {
        ++m_dropped;
        return;
    }
    m_waiting.append(packed);
}

KeyRequestBatch KeyRequestLog::take(int* dropped)
{
    // The next buffer is made here, before the lock and big enough for a
    // batch like the last, so answering threads seldom grow it.
    const qsizetype last = m_lastBytes.load(std::memory_order_relaxed);
    KeyRequestBatch next;
    next.reserve(last + last / 4 + 4096);
    KeyRequestBatch batch;
    {
        QMutexLocker lock(&m_mutex);
        *dropped = m_dropped;
        m_dropped = 0;
        std::swap(batch, m_waiting);
        std::swap(m_waiting, next);
    }
    m_lastBytes.store(batch.bytes(), std::memory_order_relaxed);
    return batch;
}
