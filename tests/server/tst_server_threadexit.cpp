#include <QTemporaryDir>
#include <QtTest>

#include "Clock.h"
#include "KeyVault.h"
#include "PasswordHasher.h"
#include "ServiceWorker.h"
#include "SlowThreadExit.h"

// The server ends right after its workers are joined. Anything a worker's
// thread still holds of OpenSSL must be given back on that thread before
// the join returns; this test ends its process the same way and is judged
// by LeakSanitizer in the sanitizer build.
class ServerThreadExitTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(SlowThreadExit::install()); }

    void workerGivesBackItsCryptoStateBeforeTheJoin()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        KeyVault vault(QByteArray(KeyVault::kMasterKeySize, '\x5a'));
        PasswordHasher hasher;
        SystemClock clock;
        DbConfig db;
        db.sqlitePath = dir.filePath(QStringLiteral("server.db"));
        QString sealed;
        {
            ServiceWorker worker(db, vault, hasher, clock, ServiceOptions{});
            QString error;
            QVERIFY2(worker.start(&error), qPrintable(error));
            QMetaObject::invokeMethod(
                worker.context(),
                [&] {
                    SlowThreadExit::holdThisThread();
                    sealed = vault.seal(QByteArray(32, '\x07'), QStringLiteral("k1"));
                },
                Qt::BlockingQueuedConnection);
        }
        QVERIFY(!sealed.isEmpty());
        QCOMPARE(vault.open(sealed, QStringLiteral("k1")), std::optional(QByteArray(32, '\x07')));
    }
};

QTEST_GUILESS_MAIN(ServerThreadExitTest)
#include "tst_server_threadexit.moc"
