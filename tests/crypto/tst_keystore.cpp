#include <QSettings>
#include <QtTest>

#include "KeyStore.h"
#include "WinProtect.h"

using Entries = QMap<QString, QByteArray>;

namespace {

void writeEntries(const Entries& values)
{
    QSettings settings("Veilcast", "Veilcast");
    settings.remove("keystore");
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        settings.setValue("keystore/" + it.key(), it.value());
    }
}

QByteArray keyBytes(char seed)
{
    QByteArray key(32, Qt::Uninitialized);
    for (int i = 0; i < key.size(); ++i) {
        key[i] = char(seed + i * 7);
    }
    return key;
}

}  // namespace

class TestKeyStore : public QObject
{
    Q_OBJECT

private slots:
    void readSettingsTable_data()
    {
        QTest::addColumn<Entries>("stored");
        QTest::addColumn<Entries>("expected");

        const QString a = "6f1c2a3b-4d5e-4f60-8a9b-0c1d2e3f4a5b";
        const QString b = "00000000-0000-0000-0000-000000000001";
        QTest::newRow("no group") << Entries() << Entries();
        QTest::newRow("plain base64 of a key")
            << Entries{{a, keyBytes(1).toBase64()}} << Entries{{a, keyBytes(1)}};
        QTest::newRow("two entries")
            << Entries{{a, keyBytes(1).toBase64()}, {b, keyBytes(9).toBase64()}}
            << Entries{{a, keyBytes(1)}, {b, keyBytes(9)}};
        // Without the user's protection service the decoded bytes stand as
        // they are; they simply will not decrypt anything.
        QTest::newRow("blob nobody can unprotect")
            << Entries{{a, QByteArray("AQAAANCMnd8BFdERjHoAwE/Cl+s=")}}
            << Entries{{a, QByteArray::fromBase64("AQAAANCMnd8BFdERjHoAwE/Cl+s=")}};
    }

    void readSettingsTable()
    {
        QFETCH(Entries, stored);
        QFETCH(Entries, expected);
        writeEntries(stored);
        QCOMPARE(KeyStore::readSettingsTable(), expected);
    }

    void storeLoadsOnceAndComparesExactly()
    {
        const QString id = "6f1c2a3b-4d5e-4f60-8a9b-0c1d2e3f4a5b";
        writeEntries({{id, keyBytes(3).toBase64()}});

        KeyStore* store = KeyStore::instance();
        QCOMPARE(KeyStore::instance(), store);
        QVERIFY(store->contains(id));
        QCOMPARE(store->key(id), keyBytes(3));
        QCOMPARE(store->key(id).size(), 32);

        QVERIFY(!store->contains(id.toUpper()));
        QVERIFY(!store->contains("6f1c2a3b4d5e4f608a9b0c1d2e3f4a5b"));
        QVERIFY(!store->contains(QString()));
        QVERIFY(store->key("absent").isEmpty());

        // Provisioning while the program runs shows only at the next start.
        writeEntries({{id, keyBytes(3).toBase64()}, {"late", keyBytes(4).toBase64()}});
        QVERIFY(!store->contains("late"));
    }

#ifdef Q_OS_WIN
    // Entries as a provisioning tool leaves them: plain registry strings
    // (REG_SZ) of Base64 under the store's key, protected by real DPAPI for
    // this user. One was protected for another reader and stands as its
    // own bytes.
    void dpapiEntriesProvisionedInTheRegistry()
    {
        writeEntries({});
        const QString mine = "6f1c2a3b-4d5e-4f60-8a9b-0c1d2e3f4a5b";
        const QString foreign = "00000000-0000-0000-0000-000000000002";
        const QByteArray mineBlob = protectForCurrentUser(keyBytes(5));
        const QByteArray foreignBlob = protectForCurrentUser(keyBytes(6), "another reader");
        QVERIFY(!mineBlob.isEmpty() && !foreignBlob.isEmpty());
        for (const auto& [id, blob] :
             {std::pair{mine, mineBlob}, std::pair{foreign, foreignBlob}}) {
            const QString text = QString::fromLatin1(blob.toBase64());
            QCOMPARE(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Veilcast\\Veilcast\\keystore",
                                     reinterpret_cast<const wchar_t*>(id.utf16()), REG_SZ,
                                     text.utf16(), DWORD((text.size() + 1) * sizeof(wchar_t))),
                     LONG(ERROR_SUCCESS));
        }
        const Entries table = KeyStore::readSettingsTable();
        QCOMPARE(table.value(mine), keyBytes(5));
        QCOMPARE(table.value(foreign), foreignBlob);
        QCOMPARE(table.size(), 2);
    }
#endif
};

QTEST_GUILESS_MAIN(TestKeyStore)
#include "tst_keystore.moc"
