#pragma once

// Test media is made at test time with the ffmpeg CLI: one way of running
// it, quiet unless it fails, never asking anything, replacing its output.
#include <QProcess>
#include <QString>
#include <QStringList>

inline bool runFfmpeg(const QStringList& args)
{
    QProcess ff;
    ff.start(QStringLiteral("ffmpeg"),
             QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y"} + args);
    return ff.waitForFinished(120000) && ff.exitStatus() == QProcess::NormalExit &&
           ff.exitCode() == 0;
}
