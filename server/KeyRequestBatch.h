#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <array>

struct KeyRequestEntry;

// Key-request log entries packed one after another, their texts as UTF-8,
// the way they wait to be written: one buffer rather than eight strings an
// entry, so that the thread writing them neither frees what the answering
// threads allocated nor converts anything before the database takes it.
class KeyRequestBatch
{
public:
    // An entry as packed: its time, and its texts in the order of kFields
    // in KeyRequestBatch.cpp (id, user, device, device name, client
    // address, key, merchant, result). The views point into the batch.
    struct Row
    {
        qint64 at = 0;
        std::array<QByteArrayView, 8> texts;
    };

    // `entry` packed, as append() takes it: `out` is overwritten.
    static void pack(const KeyRequestEntry& entry, QByteArray* out);
    void append(QByteArrayView packed);
    void reserve(qsizetype bytes) { m_bytes.reserve(bytes); }

    int size() const { return m_count; }
    bool isEmpty() const { return m_count == 0; }
    qsizetype bytes() const { return m_bytes.size(); }

    template <class F>
    void forEach(F onRow) const
    {
        const char* at = m_bytes.constData();
        for (int i = 0; i < m_count; ++i) {
            onRow(read(&at));
        }
    }
    // As entries again (for the PostgreSQL driver, which wants strings).
    QList<KeyRequestEntry> entries() const;

private:
    static Row read(const char** at);

    QByteArray m_bytes;
    int m_count = 0;
};
