// The encryption page against a scripted server: the life of each row, that
// no container is written before the server holds its key (refused, fate
// unknown, retried), sources that are no media, the busy rules of the start
// button, cancelling, the names shown, the output folder that does not open,
// and text shown as text.
#include <sys/stat.h>

#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "CryptoUtils.h"
#include "EncryptTaskDelegate.h"
#include "EncryptTaskModel.h"
#include "EncryptorWidget.h"
#include "FolderOpener.h"
#include "ModalDriver.h"
#include "ScriptedPeer.h"
#include "TestFiles.h"

namespace {

const QByteArray kKeys = "/api/merchant/keys";

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Sources the page takes for media; large ones take a while to encrypt and
// no disk.
QString media(const QString& dir, const QString& name, qint64 size)
{
    const QString path = QDir(dir).filePath(name);
    return writeSilentWav(path, size) ? path : QString();
}

QListView* listOf(EncryptorWidget& page)
{
    return page.findChild<QListView*>("fileList");
}

// The row of a source as the task list shows it; invalid when there is none.
QModelIndex rowOf(EncryptorWidget& page, const QString& path)
{
    const QAbstractItemModel* rows = listOf(page)->model();
    for (int i = 0; i < rows->rowCount(); ++i) {
        const QModelIndex index = rows->index(i, 0);
        if (index.data(EncryptTaskModel::PathRole).toString() == path) {
            return index;
        }
    }
    return {};
}

QString shownName(EncryptorWidget& page, const QString& path)
{
    const QModelIndex row = rowOf(page, path);
    return row.isValid() ? row.data(Qt::DisplayRole).toString() : QString("<no row>");
}

QString shownStatus(EncryptorWidget& page, const QString& path)
{
    return rowOf(page, path).data(EncryptTaskModel::StatusTextRole).toString();
}

QString toolTipOf(EncryptorWidget& page, const QString& path, EncryptTaskDelegate::Part part)
{
    return EncryptTaskDelegate::toolTipFor(rowOf(page, path), part);
}

// Where the row's one button (✕ or 重试) is drawn; empty when it has none.
QRect rowButton(EncryptorWidget& page, const QString& path)
{
    if (!page.isVisible()) {
        page.show();
    }
    const QModelIndex row = rowOf(page, path);
    return row.isValid() ? EncryptTaskDelegate::buttonRect(listOf(page)->visualRect(row), row)
                         : QRect();
}

void clickRowButton(EncryptorWidget& page, const QString& path)
{
    QTest::mouseClick(listOf(page)->viewport(), Qt::LeftButton, {}, rowButton(page, path).center());
}

bool waitForStatus(EncryptorWidget& page, const QString& path, EncryptorWidget::Status status,
                   int ms = 60000)
{
    return QTest::qWaitFor([&] { return page.status(path) == status; }, ms);
}

}  // namespace

class TestEncryptorWidget : public QObject
{
    Q_OBJECT

private:
    ScriptedPeer m_peer;

private slots:
    void initTestCase()
    {
        QVERIFY(m_peer.listen());
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());
    }

    void init()
    {
        m_peer.reset();
        m_peer.setHandler([](const PeerRequest&) { return PeerResponse::ok({}); });
    }

    void addingFiles()
    {
        QTemporaryDir dir;
        EncryptorWidget page;
        const QString mkv = dir.filePath("clip.MKV");
        QVERIFY(writeFile(mkv, "x"));
        QVERIFY(QDir(dir.path()).mkdir("folder.mp4"));
        QVERIFY(writeFile(dir.filePath("notes.txt"), "x"));
        const QString fifo = dir.filePath("pipe.mp4");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        page.addFiles({dir.filePath("folder.mp4"), dir.filePath("notes.txt"), fifo, mkv, mkv});
        QCOMPARE(page.status(fifo), std::nullopt);
        QCOMPARE(page.status(mkv), EncryptorWidget::Status::Waiting);
        QCOMPARE(page.status(dir.filePath("folder.mp4")), std::nullopt);
        QCOMPARE(page.status(dir.filePath("notes.txt")), std::nullopt);
        QCOMPARE(listOf(page)->model()->rowCount(), 1);
        QCOMPARE(page.findChild<QLabel*>("recordTitle")->text(), QString::fromUtf8("加密任务 (1)"));
        QVERIFY(page.findChild<QPushButton*>("startBtn")->isEnabled());

        // A waiting row can be removed with its ✕.
        QVERIFY(!rowButton(page, mkv).isEmpty());
        QCOMPARE(toolTipOf(page, mkv, EncryptTaskDelegate::Part::Button),
                 QString::fromUtf8("移除"));
        clickRowButton(page, mkv);
        QCOMPARE(page.status(mkv), std::nullopt);
        QVERIFY(!page.findChild<QPushButton*>("startBtn")->isEnabled());
    }

    void queuedFilesAreBusyUntilTheBatchEnds()
    {
        QTemporaryDir src, out;
        m_peer.setHandler([](const PeerRequest&) { return PeerResponse::ok({}).after(200); });
        EncryptorWidget page;
        page.setOutputDir(out.path());
        const QString a = media(src.path(), "a.mp4", 96 << 20);
        const QString b = media(src.path(), "b.mp4", 96 << 20);
        const QString c = media(src.path(), "c.mp4", 96 << 20);
        const QString late = media(src.path(), "late.mkv", 1 << 20);
        QVERIFY(!a.isEmpty() && !b.isEmpty() && !c.isEmpty() && !late.isEmpty());
        page.addFiles({c, a, b});
        auto* start = page.findChild<QPushButton*>("startBtn");
        start->click();

        // Handed to the queue but silent yet: busy, not waiting.
        QCOMPARE(page.status(a), EncryptorWidget::Status::Queued);
        QCOMPARE(page.status(c), EncryptorWidget::Status::Queued);
        QVERIFY(page.isBusy());
        QVERIFY(rowButton(page, c).isEmpty());

        page.addFiles({late, c});
        QCOMPARE(page.status(late), EncryptorWidget::Status::Waiting);
        QCOMPARE(page.status(c), EncryptorWidget::Status::Queued);
        bool enabledWhileBusy = false;
        QVERIFY(QTest::qWaitFor(
            [&] {
                enabledWhileBusy = enabledWhileBusy || (start->isEnabled() && page.isBusy());
                return !page.isBusy();
            },
            120000));
        QVERIFY(!enabledWhileBusy);
        for (const QString& f : {a, b, c}) {
            QCOMPARE(page.status(f), EncryptorWidget::Status::Done);
        }
        QCOMPARE(page.status(late), EncryptorWidget::Status::Waiting);
        QVERIFY(start->isEnabled());
        QCOMPARE(m_peer.requestsTo(kKeys).size(), 3);

        start->click();
        QVERIFY(waitForStatus(page, late, EncryptorWidget::Status::Done));
        QCOMPARE(entries(out.path()), (QStringList{"a.vcz", "b.vcz", "c.vcz", "late.vcz"}));

        QSettings settings("Veilcast", "Veilcast");
        QCOMPARE(settings.beginReadArray("encryptHistory/items"), 4);
        settings.setArrayIndex(0);
        QCOMPARE(settings.value("srcPath").toString(), a);
        QCOMPARE(settings.value("outPath").toString(), out.filePath("a.vcz"));
        QCOMPARE(settings.value("videoId").toString().size(), 36);
        settings.endArray();
    }

    void noContainerBeforeTheServerHoldsItsKey()
    {
        QTemporaryDir src, out;
        // The file names are shown as they are, not as markup.
        const QString refused = src.filePath("<b>refused.mp4");
        const QString unknown = src.filePath("unknown.mp4");
        QVERIFY(writeSilentWav(refused, 300000));
        QVERIFY(writeSilentWav(unknown, 300000));

        QJsonObject firstUnknown;
        int unknownUploads = 0;
        m_peer.setHandler([&](const PeerRequest& r) {
            const QJsonObject body = r.json();
            if (r.path == "/api/video/key") {
                // The server holds what the lost first attempt sent.
                return PeerResponse::ok(
                    {{"key", firstUnknown.value("key")}, {"iv", firstUnknown.value("iv")}});
            }
            if (body.value("sourceFileName").toString() != "unknown.mp4") {
                return PeerResponse::refuse("INVALID_KEY", "<i>密钥</i>不对", 400);
            }
            if (unknownUploads++ == 0) {
                firstUnknown = body;
                return PeerResponse::raw(200, "");
            }
            return PeerResponse::refuse("KEY_CONFLICT", "", 409);
        });

        EncryptorWidget page;
        page.setOutputDir(out.path());
        page.addFiles({refused, unknown});
        page.findChild<QPushButton*>("startBtn")->click();
        QVERIFY(waitForStatus(page, refused, EncryptorWidget::Status::Failed));
        QVERIFY(waitForStatus(page, unknown, EncryptorWidget::Status::UploadRetry));

        QCOMPARE(page.errorText(refused), QString::fromUtf8("加密失败：<i>密钥</i>不对"));
        // Neither key is known to be on the server: nothing is written.
        QCOMPARE(entries(out.path()), QStringList());
        // The retry row holds the only copy of its key: leaving now drops it.
        QVERIFY(page.isBusy());
        QCOMPARE(page.unregisteredFiles(), QStringList{"unknown.mp4"});

        QCOMPARE(shownName(page, refused), QStringLiteral("<b>refused.mp4"));
        const QString nameTip = toolTipOf(page, refused, EncryptTaskDelegate::Part::Name);
        QVERIFY2(nameTip.contains("&lt;b&gt;") && !nameTip.contains("<b>"), qPrintable(nameTip));
        const QString tip = toolTipOf(page, refused, EncryptTaskDelegate::Part::Status);
        QVERIFY2(tip.contains("&lt;i&gt;") && !tip.contains("<i>"), qPrintable(tip));

        QVERIFY(!rowButton(page, unknown).isEmpty());
        QCOMPARE(toolTipOf(page, unknown, EncryptTaskDelegate::Part::Button),
                 QString::fromUtf8("重新上传密钥"));
        QCOMPARE(shownStatus(page, unknown), QString::fromUtf8("上传失败，可重试"));
        // Adding the file again must not throw its key away.
        page.addFiles({unknown});
        QCOMPARE(page.status(unknown), EncryptorWidget::Status::UploadRetry);

        clickRowButton(page, unknown);
        QVERIFY(waitForStatus(page, unknown, EncryptorWidget::Status::Done, 10000));
        const QList<PeerRequest> uploads = m_peer.requestsTo(kKeys);
        QCOMPARE(uploads.last().json(), firstUnknown);  // the same registration again
        QCOMPARE(m_peer.requestsTo("/api/video/key").size(), 1);
        QCOMPARE(entries(out.path()), QStringList{"unknown.vcz"});
        QVERIFY(!page.isBusy());
        QVERIFY(page.unregisteredFiles().isEmpty());

        // Sealed under exactly the registered key.
        QByteArray keyId, iv;
        QVERIFY(CryptoUtils::readContainerHeader(out.filePath("unknown.vcz"), keyId, iv));
        QCOMPARE(CryptoUtils::formatVideoId(QByteArray::fromHex(keyId)),
                 firstUnknown.value("keyId").toString());
        const QByteArray key =
            QByteArray::fromBase64(firstUnknown.value("key").toString().toLatin1());
        QCOMPARE(iv, QByteArray::fromBase64(firstUnknown.value("iv").toString().toLatin1()));
        QCOMPARE(CryptoUtils::decryptBytes(readFile(out.filePath("unknown.vcz")).mid(52), key, iv),
                 readFile(unknown));
    }

    void notMediaIsRefusedBeforeAnyKey_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("zeros") << QByteArray(300000, '\0');
        QTest::newRow("text") << QByteArray("不是视频\n").repeated(5000);
        QTest::newRow("empty") << QByteArray();
    }

    void notMediaIsRefusedBeforeAnyKey()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir src, out;
        const QString bad = src.filePath("bad.mp4");
        const QString good = media(src.path(), "good.mkv", 100000);
        QVERIFY(writeFile(bad, content) && !good.isEmpty());

        EncryptorWidget page;
        page.setOutputDir(out.path());
        page.addFiles({bad, good});
        page.findChild<QPushButton*>("startBtn")->click();
        // Each row is looked at on its own: either may be answered first.
        QVERIFY(waitForStatus(page, good, EncryptorWidget::Status::Done));
        QVERIFY(waitForStatus(page, bad, EncryptorWidget::Status::Failed));
        QCOMPARE(page.errorText(bad), QString::fromUtf8("不是可识别的视频文件"));
        // Said on the row, not only in its tooltip.
        QCOMPARE(shownStatus(page, bad), QString::fromUtf8("不是可识别的视频文件"));
        QVERIFY(toolTipOf(page, bad, EncryptTaskDelegate::Part::Status)
                    .contains(QString::fromUtf8("不是可识别的视频文件")));
        const QList<PeerRequest> uploads = m_peer.requestsTo(kKeys);
        QCOMPARE(uploads.size(), 1);
        QCOMPARE(uploads.first().json().value("sourceFileName").toString(), QString("good.mkv"));
        QCOMPARE(entries(out.path()), QStringList{"good.vcz"});
    }

    void outputFolderThatDoesNotOpenIsSaid_data()
    {
        QTest::addColumn<bool>("opens");
        QTest::newRow("a program opens it") << true;
        QTest::newRow("no program opens it") << false;
    }

    void outputFolderThatDoesNotOpenIsSaid()
    {
        QFETCH(bool, opens);
        QTemporaryDir out;
        EncryptorWidget page;
        page.setOutputDir(out.filePath("成品 <1>"));
        QStringList asked;
        page.setFolderOpener([&](const QUrl& url) {
            asked << url.toLocalFile();
            return opens;
        });
        QString card;
        bool looked = false;
        ModalDriver::acceptNextCard(&card, &looked, opens ? 300 : 5000);
        page.findChild<QPushButton*>("openBtn")->click();
        QVERIFY(QTest::qWaitFor([&] { return looked; }, 10000));
        QCOMPARE(asked, QStringList{out.filePath("成品 <1>")});
        QCOMPARE(card.isEmpty(), opens);
        if (!opens) {
            QCOMPARE(card, FolderOpener::failureMessage(out.filePath("成品 <1>")));
        }
    }

    void sharedNamesAndCancel()
    {
        QTemporaryDir src, out;
        EncryptorWidget page;
        page.setOutputDir(out.path());
        QStringList big;
        for (int i = 0; i < 5; ++i) {
            big << media(src.path(), QString("big%1.mp4").arg(i), qint64(2) << 30);
        }
        page.addFiles(big);
        page.findChild<QPushButton*>("startBtn")->click();
        QVERIFY(QTest::qWaitFor(
            [&] { return page.status(big[0]) == EncryptorWidget::Status::Encrypting; }, 30000));

        QElapsedTimer timer;
        timer.start();
        page.cancelEncryption();
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!page.isBusy());
        for (const QString& f : big) {
            QCOMPARE(page.status(f), EncryptorWidget::Status::Failed);
            QCOMPARE(page.errorText(f), QString::fromUtf8("加密已取消"));
        }
        QCOMPARE(entries(out.path()), QStringList());

        // The next batch runs; two sources of one name get two containers.
        const QString mp4 = src.filePath("a.mp4");
        const QString mkv = src.filePath("a.mkv");
        QVERIFY(writeSilentWav(mp4, 1000));
        QVERIFY(writeSilentWav(mkv, 2000));
        page.addFiles({mp4, mkv});
        page.findChild<QPushButton*>("startBtn")->click();
        QVERIFY(waitForStatus(page, mp4, EncryptorWidget::Status::Done));
        QVERIFY(waitForStatus(page, mkv, EncryptorWidget::Status::Done));
        QCOMPARE(entries(out.path()), (QStringList{"a (2).vcz", "a.vcz"}));
        QVERIFY(page.outputPath(mp4) != page.outputPath(mkv));
        // Each row names its own container, the numbered one included.
        QCOMPARE(shownName(page, mp4),
                 QString::fromUtf8("a.mp4 → ") + QFileInfo(page.outputPath(mp4)).fileName());
        QCOMPARE(shownName(page, mkv),
                 QString::fromUtf8("a.mkv → ") + QFileInfo(page.outputPath(mkv)).fileName());

        // Closing the page while it encrypts does not wait for the files.
        auto* closing = new EncryptorWidget;
        QTemporaryDir out2;
        closing->setOutputDir(out2.path());
        const QStringList again = big;
        closing->addFiles(again);
        closing->findChild<QPushButton*>("startBtn")->click();
        QVERIFY(QTest::qWaitFor(
            [&] { return closing->status(big[0]) == EncryptorWidget::Status::Encrypting; }, 30000));
        timer.restart();
        delete closing;
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        // The workers stop between chunks after the page has gone; what they
        // had begun is removed then, and nothing is committed.
        QTRY_COMPARE_WITH_TIMEOUT(entries(out2.path()), QStringList(), 15000);
    }
};

QTEST_MAIN(TestEncryptorWidget)
#include "tst_encryptorwidget.moc"
