// The encryption queue on its own pool: concurrency, naming, progress,
// cancellation and teardown, with real files and real containers.
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "ContainerFormat.h"
#include "CryptoUtils.h"
#include "EncryptQueue.h"
#include "TestFiles.h"

namespace {

QByteArray pseudoRandom(qint64 size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    gen.fillRange(reinterpret_cast<quint32*>(data.data()), size / 4);
    for (qint64 i = size / 4 * 4; i < size; ++i) {
        data[i] = char(gen.generate());
    }
    return data;
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Sparse sources: large enough that encrypting them takes a while, free on disk.
QStringList largeSources(const QString& dir, int count, qint64 size)
{
    QStringList out;
    for (int i = 0; i < count; ++i) {
        const QString path = QDir(dir).filePath(QStringLiteral("big%1.mp4").arg(i));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || !f.resize(size)) {
            return {};
        }
        out << path;
    }
    return out;
}

// The container's payload decrypted with the reported key material.
QByteArray decryptContainer(const QString& path, const QByteArray& key, const QByteArray& iv)
{
    const QByteArray bytes = readFile(path);
    if (bytes.size() < 52 || bytes.mid(4, 16) != iv) {
        return QByteArray("<bad container>");
    }
    return CryptoUtils::decryptBytes(bytes.mid(52), key, iv);
}

}  // namespace

class TestEncryptQueue : public QObject
{
    Q_OBJECT

private slots:
    void batchRunsTwoAtATimeAndEndsOnce()
    {
        QTemporaryDir src, out;
        QStringList files;
        QHash<QString, QByteArray> plain;
        for (int i = 0; i < 4; ++i) {
            const QString path = src.filePath(QStringLiteral("clip%1.mp4").arg(i));
            plain[path] = pseudoRandom(3 * 1024 * 1024 + i * 1000, i + 1);
            QVERIFY(writeFile(path, plain[path]));
            files << path;
        }
        files.insert(2, src.filePath("missing.mp4"));  // a failure in the middle
        // A FIFO would block a worker in open() for good.
        const QString fifo = src.filePath("pipe.mp4");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        files << fifo;

        EncryptQueue queue;
        queue.setOutputDir(out.path());
        QSet<QString> running;
        int maxRunning = 0;
        int reports = 0;
        int allAt = -1;
        connect(&queue, &EncryptQueue::taskProgress, this, [&](const QString& f, int percent) {
            QVERIFY(percent >= 0 && percent <= 100);
            running.insert(f);
            maxRunning = qMax(maxRunning, int(running.size()));
        });
        auto report = [&](const QString& f) {
            running.remove(f);
            ++reports;
        };
        QHash<QString, QList<QVariant>> encrypted;
        connect(&queue, &EncryptQueue::taskEncrypted, this,
                [&](const QString& f, const QString& o, const QByteArray& id, const QByteArray& iv,
                    const QByteArray& key) {
                    encrypted[f] = {o, id, iv, key};
                    report(f);
                });
        QStringList failed;
        connect(&queue, &EncryptQueue::taskFailed, this, [&](const QString& f, const QString& e) {
            failed << f + ":" + e;
            report(f);
        });
        QSignalSpy all(&queue, &EncryptQueue::allEncrypted);
        connect(&queue, &EncryptQueue::allEncrypted, this, [&] { allAt = reports; });

        queue.enqueue(files);
        queue.start();
        QVERIFY(queue.isRunning());
        QVERIFY(all.wait(60000));
        QTest::qWait(100);  // nothing may follow the end

        QCOMPARE(all.size(), 1);
        QCOMPARE(allAt, 6);
        QVERIFY(!queue.isRunning());
        QVERIFY2(maxRunning <= 2, qPrintable(QString::number(maxRunning)));
        failed.sort();
        QCOMPARE(failed,
                 (QStringList{src.filePath("missing.mp4") + QString::fromUtf8(":无法打开源文件"),
                              fifo + QString::fromUtf8(":无法打开源文件")}));
        QCOMPARE(encrypted.size(), 4);
        for (auto it = encrypted.cbegin(); it != encrypted.cend(); ++it) {
            const QList<QVariant>& r = it.value();
            QCOMPARE(r[1].toByteArray().size(), 16);
            QCOMPARE(decryptContainer(r[0].toString(), r[3].toByteArray(), r[2].toByteArray()),
                     plain[it.key()]);
        }
        QCOMPARE(entries(out.path()),
                 (QStringList{"clip0.vcz", "clip1.vcz", "clip2.vcz", "clip3.vcz"}));

        // An empty start submits nothing and says nothing.
        queue.start();
        QTest::qWait(50);
        QCOMPARE(all.size(), 1);
    }

    void sharedBaseNamesGetTheirOwnContainers()
    {
        QTemporaryDir src, out;
        QVERIFY(QDir(src.path()).mkdir("other"));
        const QStringList files{src.filePath("a.mp4"), src.filePath("a.mkv"),
                                src.filePath("other/a.mp4")};
        QHash<QString, QByteArray> plain;
        for (int i = 0; i < files.size(); ++i) {
            plain[files[i]] = pseudoRandom(300000 + i, 10 + i);
            QVERIFY(writeFile(files[i], plain[files[i]]));
        }
        // A container from an earlier day is not this run's to replace.
        QVERIFY(writeFile(out.filePath("a.vcz"), "earlier container"));

        EncryptQueue queue;
        queue.setOutputDir(out.path());
        QHash<QString, QString> outputs;
        QHash<QString, QByteArray> decrypted;
        connect(&queue, &EncryptQueue::taskEncrypted, this,
                [&](const QString& f, const QString& o, const QByteArray&, const QByteArray& iv,
                    const QByteArray& key) {
                    outputs[f] = o;
                    decrypted[f] = decryptContainer(o, key, iv);
                });
        QSignalSpy all(&queue, &EncryptQueue::allEncrypted);
        queue.enqueue(files);
        queue.start();
        QVERIFY(all.wait(30000));

        QCOMPARE(entries(out.path()),
                 (QStringList{"a (2).vcz", "a (3).vcz", "a (4).vcz", "a.vcz"}));
        QCOMPARE(readFile(out.filePath("a.vcz")), QByteArray("earlier container"));
        QCOMPARE(QSet<QString>(outputs.cbegin(), outputs.cend()).size(), 3);
        for (const QString& f : files) {
            QCOMPARE(decrypted.value(f), plain[f]);
        }
    }

    // Files whose keys were registered one by one join the batch that runs;
    // their containers appear only when complete, so a name handed out
    // earlier in the batch must still count as taken.
    void filesJoinTheRunningBatchUnderTheirOwnSecrets()
    {
        QTemporaryDir src, out;
        QVERIFY(QDir(src.path()).mkdir("other"));
        // Runs for seconds, so the batch is surely still running meanwhile,
        // and its container a.vcz is not on disk yet.
        const QString first = src.filePath("a.mp4");
        QFile large(first);
        QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(qint64(2) << 30));
        large.close();
        const QString second = src.filePath("other/a.mp4");
        QVERIFY(writeFile(second, pseudoRandom(700000, 22)));

        EncryptQueue queue;
        queue.setOutputDir(out.path());
        QHash<QString, QList<QByteArray>> reported;  // file -> out path, id, iv, key
        connect(&queue, &EncryptQueue::taskEncrypted, this,
                [&](const QString& f, const QString& o, const QByteArray& id, const QByteArray& iv,
                    const QByteArray& key) {
                    reported[f] = {o.toUtf8(), id, iv, key};
                });
        QStringList failed;
        connect(&queue, &EncryptQueue::taskFailed, this,
                [&](const QString& f, const QString&) { failed << f; });
        QSignalSpy progress(&queue, &EncryptQueue::taskProgress);
        QSignalSpy all(&queue, &EncryptQueue::allEncrypted);
        queue.enqueue({first});
        queue.start();
        QVERIFY(progress.wait(30000));

        const ContainerWriter::KeyMaterial given = ContainerWriter::KeyMaterial::fresh();
        queue.enqueue(second, given);
        queue.start();
        QVERIFY(QTest::qWaitFor([&] { return reported.contains(second); }, 30000));
        QVERIFY(queue.isRunning());
        QCOMPARE(all.size(), 0);
        queue.cancel();
        QCOMPARE(all.size(), 1);
        QCOMPARE(failed, QStringList{first});

        // a.vcz was the running file's, though nothing was on disk yet.
        QCOMPARE(entries(out.path()), QStringList{"a (2).vcz"});
        const QList<QByteArray> r = reported.value(second);
        QCOMPARE(QFileInfo(QString::fromUtf8(r.at(0))).fileName(), QStringLiteral("a (2).vcz"));
        QCOMPARE(r.at(1), given.videoId);
        QCOMPARE(r.at(3), given.key);
        QCOMPARE(decryptContainer(QString::fromUtf8(r.at(0)), given.key, given.iv),
                 readFile(second));
    }

    void progressIsWholeClampedAndOnlyOnChange_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("empty source") << qint64(0) << QList<int>{};
        QTest::newRow("one chunk") << qint64(262144) << QList<int>{100};
        QTest::newRow("four chunks") << qint64(1048576) << QList<int>{25, 50, 75, 100};
    }

    void progressIsWholeClampedAndOnlyOnChange()
    {
        QFETCH(qint64, size);
        QFETCH(QList<int>, expected);
        QTemporaryDir src, out;
        const QString path = src.filePath("v.ts");
        QVERIFY(writeFile(path, pseudoRandom(size, 3)));

        EncryptQueue queue;
        queue.setOutputDir(out.path());
        QList<int> seen;
        connect(&queue, &EncryptQueue::taskProgress, this,
                [&](const QString&, int p) { seen << p; });
        QSignalSpy ok(&queue, &EncryptQueue::taskEncrypted);
        QSignalSpy all(&queue, &EncryptQueue::allEncrypted);
        queue.enqueue({path});
        queue.start();
        QVERIFY(all.wait(30000));
        QCOMPARE(ok.size(), 1);
        QCOMPARE(seen, expected);
        QCOMPARE(QFileInfo(out.filePath("v.vcz")).size(), 52 + size);
        QCOMPARE(ok.first().at(4).toByteArray().size(), 32);
    }

    void cancelStopsQuicklyAndLeavesNoPartialFile()
    {
        QTemporaryDir src, out;
        const QStringList files = largeSources(src.path(), 5, qint64(2) * 1024 * 1024 * 1024);
        QCOMPARE(files.size(), 5);

        EncryptQueue queue;
        queue.setOutputDir(out.path());
        QSignalSpy progress(&queue, &EncryptQueue::taskProgress);
        QSignalSpy ok(&queue, &EncryptQueue::taskEncrypted);
        QSignalSpy failed(&queue, &EncryptQueue::taskFailed);
        QSignalSpy all(&queue, &EncryptQueue::allEncrypted);
        queue.enqueue(files);
        queue.start();
        QVERIFY(progress.wait(30000));  // the writers are under way

        QElapsedTimer timer;
        timer.start();
        queue.cancel();
        const qint64 took = timer.elapsed();
        QVERIFY2(took < 1000, qPrintable(QString::number(took)));

        QCOMPARE(ok.size(), 0);
        QCOMPARE(failed.size(), 5);
        for (const auto& args : failed) {
            QCOMPARE(args.at(1).toString(), QString::fromUtf8("加密已取消"));
        }
        QCOMPARE(all.size(), 1);
        QVERIFY(!queue.isRunning());
        QCOMPARE(entries(out.path()), QStringList());

        // Nothing of the cancelled batch comes late, and the next batch runs.
        const QString small = src.filePath("small.mkv");
        QVERIFY(writeFile(small, pseudoRandom(1000, 9)));
        queue.enqueue({small});
        queue.start();
        QVERIFY(all.wait(30000));
        QCOMPARE(ok.size(), 1);
        QCOMPARE(failed.size(), 5);
        QCOMPARE(entries(out.path()), QStringList{"small.vcz"});
    }

    void destroyingARunningQueueDoesNotWaitForTheBatch()
    {
        QTemporaryDir src, out;
        const QStringList files = largeSources(src.path(), 5, qint64(2) * 1024 * 1024 * 1024);
        QCOMPARE(files.size(), 5);

        auto* queue = new EncryptQueue;
        queue->setOutputDir(out.path());
        QSignalSpy progress(queue, &EncryptQueue::taskProgress);
        queue->enqueue(files);
        queue->start();
        QVERIFY(progress.wait(30000));

        QElapsedTimer timer;
        timer.start();
        delete queue;
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(entries(out.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestEncryptQueue)
#include "tst_encryptqueue.moc"
