#pragma once

#include <QFile>

// The 1-minute load average printed beside a benchmark's absolute times: a
// time means little without how busy the machine was. -1 where unknown.
inline double loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').value(0).toDouble() : -1;
}
