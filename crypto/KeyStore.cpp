#include "KeyStore.h"

#include <QMutexLocker>
#include <QSettings>
#include <memory>

#include "AppConfig.h"
#include "AppConfig.h"
#include "CryptoUtils.h"
#include "DataProtection.h"

KeyStore* KeyStore::instance()
{
    static KeyStore* store = new KeyStore();
    return store;
}

KeyStore::KeyStore() : QObject(nullptr)
{
    QMutexLocker locker(&m_mutex);
    m_table = readSettingsTable();
}

QMap<QString, QByteArray> KeyStore::readSettingsTable()
{
    QMap<QString, QByteArray> table;
    const std::unique_ptr<QSettings> settings = AppConfig::store();
    settings->beginGroup(QStringLiteral("keystore"));
    const QStringList ids = settings->childKeys();
    for (const QString& id : ids) {
        QByteArray stored = settings->value(id).toByteArray();
        QByteArray decoded = QByteArray::fromBase64(stored);
        QByteArray plain = DataProtection::unprotect(decoded);
        // Without protection (or for an entry written unprotected) the
        // decoded bytes are the key itself.
        if (plain.isEmpty()) {
            table.insert(id, decoded);
        } else {
            table.insert(id, plain);
            CryptoUtils::secureWipe(decoded);
        }
        CryptoUtils::secureWipe(stored);
    }
    settings->endGroup();
    return table;
}

bool KeyStore::contains(const QString& keyId) const
{
    QMutexLocker locker(&m_mutex);
    return m_table.contains(keyId);
}

QByteArray KeyStore::key(const QString& keyId) const
{
    QMutexLocker locker(&m_mutex);
    return m_table.value(keyId);
}
