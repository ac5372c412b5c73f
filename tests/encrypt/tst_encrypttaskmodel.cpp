// The encryption page's rows without the page: which status may follow
// which when answers come late or twice, that key material leaves memory
// as soon as a row no longer needs it and with the model, that a progress
// tick repaints one row, and that rows are still found by path after others
// went.
#include <QSignalSpy>
#include <QtTest>
#include <memory>

#include "EncryptTaskModel.h"

using Status = EncryptTaskModel::Status;

namespace {

const QString kFile = QStringLiteral("/videos/第一课.mp4");
const QString kOut = QStringLiteral("/out");

// Drives a new row for path along the way a real file goes to status.
bool reach(EncryptTaskModel& model, const QString& path, Status status)
{
    bool ok = model.add(path);
    if (status == Status::Waiting) {
        return ok;
    }
    ok = ok && model.start(path, kOut);
    if (status == Status::Failed) {
        return ok && model.fail(path, QStringLiteral("不是可识别的视频文件"));
    }
    if (status == Status::Queued) {
        return ok;
    }
    ok = ok && model.markUploading(path);
    if (status == Status::UploadRetry) {
        return ok && model.markUncertain(path, QStringLiteral("超时"));
    }
    if (status == Status::Uploading) {
        return ok;
    }
    ok = ok && model.markRegistered(path).has_value() && model.setProgress(path, 10);
    if (status == Status::Done) {
        return ok && model.finish(path, QStringLiteral("/out/第一课.vcz"), QDateTime());
    }
    return ok;
}

// Applies one operation; "a+b" applies a, then b, and says how b went.
bool apply(EncryptTaskModel& model, const QString& op)
{
    if (op.contains('+')) {
        const QStringList ops = op.split('+');
        return apply(model, ops.at(0)) && apply(model, ops.at(1));
    }
    if (op == "add") {
        return model.add(kFile);
    }
    if (op == "remove") {
        return model.remove(kFile);
    }
    if (op == "start") {
        return model.start(kFile, kOut);
    }
    if (op == "upload") {
        return model.markUploading(kFile);
    }
    if (op == "register") {
        return model.markRegistered(kFile).has_value();
    }
    if (op == "uncertain") {
        return model.markUncertain(kFile, QStringLiteral("超时"));
    }
    if (op == "progress") {
        return model.setProgress(kFile, 40);
    }
    if (op == "finish") {
        return model.finish(kFile, QStringLiteral("/out/x.vcz"), QDateTime::currentDateTime());
    }
    return model.fail(kFile, QStringLiteral("加密已取消"));
}

}  // namespace

class TestEncryptTaskModel : public QObject
{
    Q_OBJECT

private slots:
    void transitions_data()
    {
        QTest::addColumn<Status>("from");
        QTest::addColumn<QString>("op");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("after");  // -1: the row is gone

        const auto row = [](const char* name, Status from, const char* op, bool accepted,
                            int after) {
            QTest::newRow(name) << from << QString::fromLatin1(op) << accepted << after;
        };
        // Late or doubled answers never undo a later state.
        row("done, late progress", Status::Done, "progress", false, int(Status::Done));
        row("done, late cancel", Status::Done, "fail", false, int(Status::Done));
        row("done, second finish", Status::Done, "finish", false, int(Status::Done));
        row("failed, late progress", Status::Failed, "progress", false, int(Status::Failed));
        row("failed, late finish", Status::Failed, "finish", false, int(Status::Failed));
        row("failed, late key answer", Status::Failed, "register", false, int(Status::Failed));
        // A finished row is retried only by being added again and started.
        row("failed, started directly", Status::Failed, "start", false, int(Status::Failed));
        row("failed, added again", Status::Failed, "add", true, int(Status::Waiting));
        row("done, added again", Status::Done, "add", true, int(Status::Waiting));
        // No container before the server holds the key.
        row("unregistered, progress", Status::Queued, "progress", false, int(Status::Queued));
        row("unregistered, finish", Status::Queued, "finish", false, int(Status::Queued));
        row("waiting, finish", Status::Waiting, "finish", false, int(Status::Waiting));
        row("uploading, progress", Status::Uploading, "progress", false, int(Status::Uploading));
        // Busy rows and rows whose key waits for a retry keep their way.
        row("uploading, added again", Status::Uploading, "add", false, int(Status::Uploading));
        row("retry, added again", Status::UploadRetry, "add", false, int(Status::UploadRetry));
        row("retry, registered", Status::UploadRetry, "register", false, int(Status::UploadRetry));
        row("retry, sent again", Status::UploadRetry, "upload", true, int(Status::Uploading));
        row("uploading, registered", Status::Uploading, "register", true, int(Status::Queued));
        row("uploading, started again", Status::Uploading, "start", false, int(Status::Uploading));
        row("registered, sent again", Status::Uploading, "register+upload", false,
            int(Status::Queued));
        row("uploading, no answer", Status::Uploading, "uncertain", true, int(Status::UploadRetry));
        row("encrypting, progress", Status::Encrypting, "progress", true, int(Status::Encrypting));
        row("encrypting, finish", Status::Encrypting, "finish", true, int(Status::Done));
        row("retry, cancelled", Status::UploadRetry, "fail", true, int(Status::Failed));
        row("waiting, cancelled", Status::Waiting, "fail", false, int(Status::Waiting));
        // Only a row nobody holds may go.
        row("waiting, removed", Status::Waiting, "remove", true, -1);
        row("queued, removed", Status::Queued, "remove", false, int(Status::Queued));
        row("done, removed", Status::Done, "remove", false, int(Status::Done));
    }

    void transitions()
    {
        QFETCH(Status, from);
        QFETCH(QString, op);
        QFETCH(bool, accepted);
        QFETCH(int, after);

        EncryptTaskModel model;
        QVERIFY(reach(model, kFile, from));
        QCOMPARE(model.status(kFile), from);
        QCOMPARE(apply(model, op), accepted);
        if (after < 0) {
            QCOMPARE(model.status(kFile), std::nullopt);
        } else {
            QCOMPARE(model.status(kFile), Status(after));
        }
    }

    void keyMaterialIsWipedWhenNoLongerNeeded_data()
    {
        QTest::addColumn<Status>("from");
        QTest::addColumn<QString>("op");
        QTest::addColumn<bool>("rowKeepsKey");

        QTest::newRow("started") << Status::Waiting << "start" << true;
        // The server may hold it: a retry must send the very same key.
        QTest::newRow("no answer") << Status::Uploading << "uncertain" << true;
        QTest::newRow("registered") << Status::Uploading << "register" << false;
        QTest::newRow("refused") << Status::Uploading << "fail" << false;
        QTest::newRow("cancelled while waiting for a retry")
            << Status::UploadRetry << "fail" << false;
        QTest::newRow("failed check") << Status::Queued << "fail" << false;
    }

    void keyMaterialIsWipedWhenNoLongerNeeded()
    {
        QFETCH(Status, from);
        QFETCH(QString, op);
        QFETCH(bool, rowKeepsKey);

        const int before = EncryptTaskModel::secretsHeld();
        {
            EncryptTaskModel model;
            QVERIFY(reach(model, kFile, from));
            const QByteArray key = model.task(kFile)->secrets.key;
            QCOMPARE(apply(model, op), true);
            const EncryptTaskModel::Task* t = model.task(kFile);
            QCOMPARE(!t->secrets.key.isEmpty(), rowKeepsKey);
            QCOMPARE(!t->secrets.iv.isEmpty(), rowKeepsKey);
            if (rowKeepsKey && !key.isEmpty()) {
                QCOMPARE(t->secrets.key, key);
            }
            QCOMPARE(EncryptTaskModel::secretsHeld(), before + (rowKeepsKey ? 1 : 0));
        }
        // Whatever a row still held is gone with the model.
        QCOMPARE(EncryptTaskModel::secretsHeld(), before);
    }

    void registeredKeyGoesToTheCallerWhole()
    {
        EncryptTaskModel model;
        QVERIFY(reach(model, kFile, Status::Uploading));
        const QByteArray key = model.task(kFile)->secrets.key;
        const std::optional<ContainerWriter::KeyMaterial> handed = model.markRegistered(kFile);
        QVERIFY(handed && handed->isComplete());
        QCOMPARE(handed->key, key);
    }

    void brokenRandomSourceStartsNothing()
    {
        const int before = EncryptTaskModel::secretsHeld();
        EncryptTaskModel model;
        model.setSecretsSource([] {
            ContainerWriter::KeyMaterial half;
            half.key = QByteArray(32, 'k');  // no iv, no video id
            return half;
        });
        QVERIFY(model.add(kFile));
        QVERIFY(!model.start(kFile, kOut));
        QVERIFY(model.task(kFile)->secrets.key.isEmpty());
        QCOMPARE(EncryptTaskModel::secretsHeld(), before);
    }

    void progressRepaintsOneRow_data()
    {
        QTest::addColumn<int>("which");  // added first, second or last
        QTest::newRow("oldest") << 0;
        QTest::newRow("middle") << 1;
        QTest::newRow("newest") << 2;
    }

    void progressRepaintsOneRow()
    {
        QFETCH(int, which);
        EncryptTaskModel model;
        const QStringList paths{"/v/a.mp4", "/v/b.mp4", "/v/c.mp4"};
        for (const QString& p : paths) {
            QVERIFY(reach(model, p, Status::Encrypting));
        }
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QVERIFY(model.setProgress(paths.at(which), 40));
        QCOMPARE(changed.size(), 1);
        const auto from = changed.first().at(0).value<QModelIndex>();
        const auto to = changed.first().at(1).value<QModelIndex>();
        QCOMPARE(from, to);
        QCOMPARE(from.data(EncryptTaskModel::PathRole).toString(), paths.at(which));
        QCOMPARE(from.data(EncryptTaskModel::StatusTextRole).toString(),
                 QString::fromUtf8("加密中 40%"));
    }

    void lookupByPathAfterRemovals_data()
    {
        QTest::addColumn<QStringList>("removed");
        QTest::newRow("oldest") << QStringList{"/v/a.mp4"};
        QTest::newRow("middle") << QStringList{"/v/b.mp4"};
        QTest::newRow("newest") << QStringList{"/v/d.mp4"};
        QTest::newRow("two apart") << QStringList{"/v/a.mp4", "/v/c.mp4"};
    }

    void lookupByPathAfterRemovals()
    {
        QFETCH(QStringList, removed);
        EncryptTaskModel model;
        QStringList all{"/v/a.mp4", "/v/b.mp4", "/v/c.mp4", "/v/d.mp4"};
        for (const QString& p : all) {
            QVERIFY(model.add(p));
        }
        for (const QString& p : removed) {
            QVERIFY(model.remove(p));
            all.removeOne(p);
        }
        QVERIFY(model.add("/v/e.mp4"));
        all << "/v/e.mp4";
        QCOMPARE(model.rowCount(), all.size());
        for (const QString& p : removed) {
            QVERIFY(!model.task(p));
            QCOMPARE(model.rowOf(p), -1);
        }
        for (const QString& p : std::as_const(all)) {
            const int row = model.rowOf(p);
            QVERIFY2(row >= 0, qPrintable(p));
            QCOMPARE(model.index(row).data(EncryptTaskModel::PathRole).toString(), p);
            QCOMPARE(model.task(p)->srcPath, p);
        }
        // The newest row is on top, as the page shows it.
        QCOMPARE(model.rowOf("/v/e.mp4"), 0);
    }
};

QTEST_GUILESS_MAIN(TestEncryptTaskModel)
#include "tst_encrypttaskmodel.moc"
