#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// Raw machine identifiers as the system reveals them. No hashing or choosing
// happens here; the device identity decides what to make of these values.
class SystemProbe
{
public:
    SystemProbe() = delete;

    // Whether the Windows management command-line tool can be asked here.
    static bool hasWmic();

    // Runs program with args, standard error merged into standard output.
    // Returns the whole output, or nothing when the program did not start
    // within startMs or did not finish within finishMs (it is then killed).
    // exitCode, when given, gets the status of a program that finished, or
    // -1 for one that crashed.
    static std::optional<QByteArray> runCommand(const QString& program, const QStringList& args,
                                                int startMs, int finishMs, int* exitCode = nullptr);

    // The operating system installation's GUID: the registry's MachineGuid on
    // Windows, the text of /etc/machine-id on Linux; empty when unavailable.
    static QString machineGuid();
};
