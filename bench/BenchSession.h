#pragma once

#include <QApplication>
#include <QAudioDevice>
#include <QFile>
#include <QMediaDevices>
#include <cstdio>
#include <optional>

#include "SoundProbe.h"

// The 1-minute load average printed beside a benchmark's absolute times: a
// time means little without how busy the machine was. -1 where unknown.
inline double loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').value(0).toDouble() : -1;
}

// What a playback benchmark runs in, as a viewer's player would: a sound
// server of its own (a private PulseAudio with a null sink), started before
// Qt looks for one, and the application. The load average is printed first.
class BenchSession
{
public:
    BenchSession(int& argc, char** argv)
    {
        std::printf("load average (1 min): %.2f\n", loadAverage());
        QString why;
        if (!m_pulse.start(&why)) {
            std::fprintf(stderr, "%s\n", qPrintable(why));
            return;
        }
        m_app.emplace(argc, argv);
        if (QMediaDevices::defaultAudioOutput().isNull()) {
            std::fprintf(stderr, "no audio output seen\n");
            return;
        }
        m_ready = true;
    }

    // False (said on standard error) when there is no sound to play into.
    bool isReady() const { return m_ready; }
    QApplication& app() { return *m_app; }
    PrivatePulse& pulse() { return m_pulse; }

private:
    PrivatePulse m_pulse;
    std::optional<QApplication> m_app;
    bool m_ready = false;
};
