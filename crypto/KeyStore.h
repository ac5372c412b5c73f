#pragma once

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>

// A read-only table of content keys provisioned into the settings store
// (group "keystore"), so that a container can play without the server.
// Loaded once, on first use; entries added later show at the next start.
class KeyStore : public QObject
{
    Q_OBJECT

public:
    static KeyStore* instance();

    // Exact, case-sensitive id comparison.
    bool contains(const QString& keyId) const;
    // The key bytes, or an empty array when the id is absent.
    QByteArray key(const QString& keyId) const;

    // Reads the group as it stands now: each value is Base64 of a blob
    // protected for the current user, or Base64 of the raw key itself.
    static QMap<QString, QByteArray> readSettingsTable();

private:
    KeyStore();

    mutable QMutex m_mutex;
    QMap<QString, QByteArray> m_table;
};
