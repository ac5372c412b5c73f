#include "KeyRequestBatch.h"

#include <QStringEncoder>
#include <cstring>

#include "Store.h"

namespace {

constexpr QString KeyRequestEntry::*kFields[] = {
    &KeyRequestEntry::id,         &KeyRequestEntry::userId,        &KeyRequestEntry::deviceId,
    &KeyRequestEntry::deviceName, &KeyRequestEntry::clientAddress, &KeyRequestEntry::keyId,
    &KeyRequestEntry::merchantId, &KeyRequestEntry::result,
};
static_assert(std::size(kFields) == std::tuple_size_v<decltype(KeyRequestBatch::Row::texts)>);

template <class T>
T take(const char** at)
{
    T value;
    std::memcpy(&value, *at, sizeof value);
    *at += sizeof value;
    return value;
}

}  // namespace

void KeyRequestBatch::pack(const KeyRequestEntry& entry, QByteArray* out)
{
    qsizetype room = qsizetype(sizeof entry.at);
    for (auto field : kFields) {
        room += qsizetype(sizeof(qint32)) + (entry.*field).size() * 3;
    }
    out->resize(room);
    char* p = out->data();
    std::memcpy(p, &entry.at, sizeof entry.at);
    p += sizeof entry.at;
    QStringEncoder utf8(QStringEncoder::Utf8);
    for (auto field : kFields) {
        char* lengthAt = p;
        p += sizeof(qint32);
        char* end = utf8.appendToBuffer(p, entry.*field);
        const auto length = qint32(end - p);
        std::memcpy(lengthAt, &length, sizeof length);
        p = end;
    }
    out->resize(p - out->constData());
}

void KeyRequestBatch::append(QByteArrayView packed)
{
    m_bytes.append(packed);
    ++m_count;
}

KeyRequestBatch::Row KeyRequestBatch::read(const char** at)
{
    Row row;
    row.at = take<qint64>(at);
    for (QByteArrayView& text : row.texts) {
        const auto length = take<qint32>(at);
        text = QByteArrayView(*at, length);
        *at += length;
    }
    return row;
}

QList<KeyRequestEntry> KeyRequestBatch::entries() const
{
    QList<KeyRequestEntry> out;
    out.reserve(m_count);
    forEach([&](const Row& row) {
        KeyRequestEntry& e = out.emplace_back();
        e.at = row.at;
        for (std::size_t i = 0; i < std::size(kFields); ++i) {
            e.*kFields[i] = QString::fromUtf8(row.texts[i]);
        }
    });
    return out;
}
