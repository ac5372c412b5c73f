#include "KeyRequestLog.h"

#include <cstring>

namespace {

// An entry's fields in the order they are packed; `at` goes first, apart.
constexpr QString KeyRequestEntry::*kFields[] = {
    &KeyRequestEntry::id,         &KeyRequestEntry::userId,        &KeyRequestEntry::deviceId,
    &KeyRequestEntry::deviceName, &KeyRequestEntry::clientAddress, &KeyRequestEntry::keyId,
    &KeyRequestEntry::merchantId, &KeyRequestEntry::result,
};

template <class T>
void put(QByteArray* out, const T& value)
{
    out->append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <class T>
T get(const char** at)
{
    T value;
    std::memcpy(&value, *at, sizeof value);
    *at += sizeof value;
    return value;
}

}  // namespace

void KeyRequestLog::add(const KeyRequestEntry& entry)
{
    // Packed outside the lock, into room this thread keeps.
    thread_local QByteArray packed;
    packed.resize(0);
    put(&packed, entry.at);
    for (auto field : kFields) {
        const QString& text = entry.*field;
        put(&packed, qint32(text.size()));
        packed.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    }
    QMutexLocker lock(&m_mutex);
    if (m_count >= kMaxWaiting) {
        ++m_dropped;
        return;
    }
    m_waiting.append(packed);
    ++m_count;
}

QList<KeyRequestEntry> KeyRequestLog::take(int* dropped)
{
    // The next buffer is made here, before the lock and big enough for a
    // batch like the last, so answering threads seldom grow it.
    const qsizetype last = m_lastBytes.load(std::memory_order_relaxed);
    QByteArray next;
    next.reserve(last + last / 4 + 4096);
    QByteArray batch;
    int count = 0;
    {
        QMutexLocker lock(&m_mutex);
        *dropped = m_dropped;
        m_dropped = 0;
        count = m_count;
        m_count = 0;
        batch.swap(m_waiting);
        m_waiting.swap(next);
    }
    m_lastBytes.store(batch.size(), std::memory_order_relaxed);
    QList<KeyRequestEntry> entries;
    entries.reserve(count);
    const char* at = batch.constData();
    for (int i = 0; i < count; ++i) {
        KeyRequestEntry& e = entries.emplace_back();
        e.at = get<qint64>(&at);
        for (auto field : kFields) {
            const auto length = get<qint32>(&at);
            e.*field = QString(reinterpret_cast<const QChar*>(at), length);
            at += qsizetype(length) * 2;
        }
    }
    return entries;
}
