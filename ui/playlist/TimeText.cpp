#include "TimeText.h"

QString TimeText::format(qint64 ms)
{
    const qint64 seconds = qMax<qint64>(ms, 0) / 1000;
    return QStringLiteral("%1:%2")
        .arg(seconds / 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString TimeText::formatLength(qint64 ms)
{
    return ms > 0 ? format(ms) : QString::fromLatin1(kUnknown);
}
