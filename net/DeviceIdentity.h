#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// The id and name the server binds logins and key requests to. The id is 32
// lower-case hex digits (the first half of a SHA-256 digest) taken, in order
// of preference, from the hardware, the installation's machine GUID, and a
// random value kept in the settings store.
class DeviceIdentity
{
public:
    DeviceIdentity() = delete;

    // Where the raw values come from; the system's own unless a caller
    // supplies others.
    struct Sources
    {
        // (className, property) -> first value line, or empty.
        std::function<QString(const QString&, const QString&)> wmic;
        // The installation's GUID text, or empty.
        std::function<QString()> machineGuid;
    };

    // Computed once per process and then served from memory. The first call
    // may block for several seconds while the hardware is queried.
    static QString deviceId();
    // "<host> · <product>", built anew on each call.
    static QString deviceName();

    static Sources systemSources();
    // The preference order over the given sources; falls back to the stored
    // random id, so it always yields an id.
    static QString computeId(const Sources& sources);

    static QString hardwareId(const Sources& sources);
    static QString machineGuidId(const Sources& sources);
    // Creates and stores device/fallbackId on first need; stable afterwards.
    static QString fallbackId();

    // Runs wmic with the given class and property (Windows only; empty
    // elsewhere or on any failure).
    static QString queryWmic(const QString& className, const QString& property);
    // The first line of wmic output that is neither blank nor a column
    // header, trimmed; empty if there is none.
    static QString parseWmicOutput(const QByteArray& output);

    static QString deviceNameFor(const QString& host, const QString& product);
    // First 32 lower-case hex digits of SHA-256 over bytes.
    static QString hashId(const QByteArray& bytes);
};
