#include "TranscodeLogParser.h"

#include <QRegularExpression>
#include <QString>

namespace {

const QRegularExpression& durationPattern()
{
    static const QRegularExpression re(QStringLiteral(R"(Duration:\s*(\d+):(\d+):(\d+)\.(\d+))"));
    return re;
}

const QRegularExpression& positionPattern()
{
    static const QRegularExpression re(QStringLiteral(R"(time=\s*(\d+):(\d+):(\d+)\.(\d+))"));
    return re;
}

qint64 matchMs(const QRegularExpressionMatch& m)
{
    return TranscodeLogParser::toMs(m.captured(1).toLongLong(), m.captured(2).toLongLong(),
                                    m.captured(3).toLongLong(), m.captured(4));
}

}  // namespace

qint64 TranscodeLogParser::toMs(qint64 h, qint64 m, qint64 s, const QString& fraction)
{
    // The groups are whatever digits the log holds; bounded, the sum (and
    // the percent computed from it) stays far inside 64 bits.
    const auto bound = [](qint64 v, qint64 unitsPerHour) {
        return qBound<qint64>(0, v, kMaxHours * unitsPerHour);
    };
    const qint64 ms = fraction.left(3).leftJustified(3, QLatin1Char('0')).toLongLong();
    return (bound(h, 1) * 60 + bound(m, 60)) * 60'000 + bound(s, 3600) * 1000 + bound(ms, 999);
}

void TranscodeLogParser::reset()
{
    m_carry.clear();
    m_durationMs = 0;
}

int TranscodeLogParser::feed(const QByteArray& chunk)
{
    m_carry += chunk;
    // Progress lines end in a carriage return, the others in a line feed.
    qsizetype end = qMax(m_carry.lastIndexOf('\n'), m_carry.lastIndexOf('\r'));
    if (end < 0) {
        if (m_carry.size() > kMaxCarry) {
            m_carry.clear();
        }
        return -1;
    }
    const QString text = QString::fromLocal8Bit(m_carry.constData(), end + 1);
    m_carry.remove(0, end + 1);

    if (m_durationMs == 0) {
        const QRegularExpressionMatch m = durationPattern().match(text);
        if (m.hasMatch()) {
            m_durationMs = matchMs(m);
        }
    }
    qint64 timeMs = -1;
    QRegularExpressionMatchIterator it = positionPattern().globalMatch(text);
    while (it.hasNext()) {
        timeMs = matchMs(it.next());
    }
    if (timeMs < 0 || m_durationMs <= 0) {
        return -1;
    }
    return int(qBound<qint64>(qint64(0), timeMs * 100 / m_durationMs, qint64(99)));
}
