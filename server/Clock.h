#pragma once

#include <QDateTime>
#include <QtGlobal>

// Token lifetimes, grant ends and login throttling all read the time through
// this, so tests can move time forward instead of sleeping through a day.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual qint64 nowMs() const = 0;
};

class SystemClock final : public Clock
{
public:
    qint64 nowMs() const override { return QDateTime::currentMSecsSinceEpoch(); }
};
