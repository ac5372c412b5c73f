// The player page as a whole, with keys from a scripted peer that counts
// every key request: files in by drop, by the add button and by path, the
// chosen row found again after evictions, the files refused on the way in,
// the empty page, replay, a failed choice after the end, keys, warning cards,
// the stored playlist per user, the volume and the screenshot notice.
#include <sys/stat.h>

#include <QFileDialog>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

#include "AppConfig.h"
#include "AudioRenderer.h"
#include "ConfirmDialog.h"
#include "ControlBar.h"
#include "MediaPlayer.h"
#include "ModalDriver.h"
#include "OverlayContainer.h"
#include "PageMedia.h"
#include "PlaybackClock.h"
#include "PlaybackService.h"
#include "PlayerWidget.h"
#include "PlaylistModel.h"
#include "ScriptedPeer.h"
#include "SeekSlider.h"
#include "SidebarWidget.h"
#include "TestFiles.h"
#include "VideoRenderer.h"
#include "Watermark.h"

namespace {

constexpr int kWaitMs = 15000;

struct Card
{
    QString title;
    QString text;
    bool plain = false;
};

// Answers the next warning card from inside its own event loop.
void answerNextCard(Card* seen, bool* done)
{
    ModalDriver::whenModal([seen, done](QWidget* modal) {
        *done = true;
        if (!modal) {
            return;
        }
        auto* title = modal->findChild<QLabel*>(QStringLiteral("confirmTitle"));
        auto* text = modal->findChild<QLabel*>(QStringLiteral("confirmMsg"));
        seen->title = title ? title->text() : QString();
        seen->text = text ? text->text() : QString();
        seen->plain = text && text->textFormat() == Qt::PlainText;
        if (auto* ok = modal->findChild<QPushButton*>(QStringLiteral("confirmOk"))) {
            ok->click();
        }
    });
}

PlaylistEntry entryFor(const QString& path)
{
    PlaylistEntry e;
    e.fileId = e.filePath = path;
    e.title = QFileInfo(path).completeBaseName();
    return e;
}

void dropFiles(QWidget* page, const QStringList& paths)
{
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& p : paths) {
        urls.append(QUrl::fromLocalFile(p));
    }
    mime.setUrls(urls);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    // Straight to the page: the application delivers drops only during a
    // drag of its own drag manager.
    static_cast<QObject*>(page)->event(&drop);
}

// The message cards open now, found the way a person sees them: among the
// top-level windows.
QList<ConfirmDialog*> openCards()
{
    QList<ConfirmDialog*> cards;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* card = qobject_cast<ConfirmDialog*>(w);
        if (card && card->isVisible()) {
            cards.append(card);
        }
    }
    return cards;
}

QString messageOf(const QWidget* card)
{
    auto* text = card->findChild<QLabel*>(QStringLiteral("confirmMsg"));
    return text ? text->text() : QString();
}

// The video area of a page with nothing loaded, at the size of page.
QImage emptyAreaLike(const QWidget& page)
{
    PlayerWidget fresh;
    fresh.resize(page.size());
    fresh.show();
    if (!QTest::qWaitForWindowExposed(&fresh)) {
        return {};
    }
    QCoreApplication::processEvents();
    return fresh.videoContainer()->grab().toImage();
}

QImage videoArea(PlayerWidget& page)
{
    QCoreApplication::processEvents();
    return page.videoContainer()->grab().toImage();
}

// What a real double click on a playlist row delivers.
void doubleClickRow(PlayerWidget& page, int row)
{
    QListView* list = page.sidebar()->listView();
    QCoreApplication::processEvents();  // the view lays its rows out on a timer
    const QPoint at = list->visualRect(page.sidebar()->model()->index(row)).center();
    QWidget* v = list->viewport();
    QTest::mousePress(v, Qt::LeftButton, {}, at);
    QTest::mouseRelease(v, Qt::LeftButton, {}, at);
    QTest::mouseDClick(v, Qt::LeftButton, {}, at);
    QTest::mouseRelease(v, Qt::LeftButton, {}, at);
}

void moveMouseOver(QWidget* w)
{
    QMouseEvent move(QEvent::MouseMove, QPointF(w->width() / 2.0, w->height() / 2.0),
                     w->mapToGlobal(QPointF(w->width() / 2.0, w->height() / 2.0)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

// Records the keys a child passed on.
class KeyRecorder : public QWidget
{
public:
    QList<int> keys;

protected:
    void keyPressEvent(QKeyEvent* e) override { keys.append(e->key()); }
};

}  // namespace

class TestPlayerWidget : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ScriptedPeer m_peer;
    QHash<QString, PageClip> m_served;  // by key id
    PageClip m_short;                   // 1 s
    PageClip m_long;                    // 30 s
    PageClip m_lecture;                 // 12 s at 10 fps, chapters at 0, 4 and 8 s
    // 10 s black, a key frame a second, short clusters; red ASS subtitle
    // (the default track) from 3 to 6 s, the whole picture red from 7 to
    // 9 s; a SubRip track in the default style (white) from 3 to 6 s.
    PageClip m_subtitled;
    PageClip m_noise;       // a container whose payload is no media
    PageClip m_unknownKey;  // the peer does not know its key

    QString path(const QString& name) const { return m_dir.filePath(name); }

    int keyRequests() const { return int(m_peer.requestsTo("/api/video/key").size()); }

    // A copy of a container under another name: same key, another path.
    QString copyOf(const PageClip& clip, const QString& name)
    {
        const QString target = path(name);
        QFile::remove(target);
        return QFile::copy(clip.path, target) ? target : QString();
    }

    static bool waitForState(PlayerWidget& page, PlayerState state)
    {
        return QTest::qWaitFor([&] { return page.player()->state() == state; }, kWaitMs);
    }

    // A page in an 800x450 frame with the file opened and paused; null if it
    // did not play.
    static PlayerWidget* pausedPage(KeyRecorder& frame, const QString& file)
    {
        auto* page = new PlayerWidget(&frame);
        frame.resize(800, 450);
        page->resize(frame.size());
        frame.show();
        page->openFile(file);
        if (!waitForState(*page, PlayerState::Playing)) {
            return nullptr;
        }
        QTest::keyClick(page, Qt::Key_Space);
        return page;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QString tiny = path("tiny.mp4");
        const QString longer = path("long.mp4");
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25", "-t", "1", "-c:v",
                           "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", tiny}));
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-t", "30", "-c:v",
                           "libx264", "-preset", "ultrafast", "-g", "10", "-pix_fmt", "yuv420p",
                           longer}));
        QVERIFY(writeFile(path("noise.bin"), QByteArray(64 * 1024, '\x5a')));
        m_short = sealFile(tiny, path("short.vcz"));
        m_long = sealFile(longer, path("long.vcz"));
        m_noise = sealFile(path("noise.bin"), path("noise.vcz"));
        m_unknownKey = sealFile(tiny, path("unknown.vcz"));
        QVERIFY(writeFile(path("lecture.meta"),
                          ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=4000\n"
                          "[CHAPTER]\nTIMEBASE=1/1000\nSTART=4000\nEND=8000\n"
                          "[CHAPTER]\nTIMEBASE=1/1000\nSTART=8000\nEND=12000\n"));
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-i",
                           path("lecture.meta"), "-map_chapters", "1", "-t", "12", "-c:v",
                           "libx264", "-preset", "ultrafast", "-g", "10", "-pix_fmt", "yuv420p",
                           path("lecture.mp4")}));
        m_lecture = sealFile(path("lecture.mp4"), path("lecture.vcz"));
        QVERIFY(writeFile(
            path("red.ass"),
            "[Script Info]\nScriptType: v4.00+\nPlayResX: 384\nPlayResY: 288\n\n"
            "[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, "
            "OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, "
            "Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, "
            "Encoding\nStyle: Red,sans-serif,40,&H000000FF,&H000000FF,&H00000000,&H00000000,1,0,"
            "0,0,100,100,0,0,1,0,0,2,10,10,10,1\n\n[Events]\nFormat: Layer, Start, End, Style, "
            "Name, MarginL, MarginR, MarginV, Effect, Text\n"
            "Dialogue: 0,0:00:03.00,0:00:06.00,Red,,0,0,0,,字幕 Subtitle\n"
            // The whole picture red, where the watermark lies.
            "Dialogue: 0,0:00:07.00,0:00:09.00,Red,,0,0,0,,{\\an7\\pos(0,0)\\p1}m 0 0 l 384 0 "
            "384 288 0 288{\\p0}\n"));
        QVERIFY(writeFile(path("white.srt"), "1\n00:00:03,000 --> 00:00:06,000\n中文字幕\n"));
        QVERIFY(runFfmpeg({"-f",
                           "lavfi",
                           "-i",
                           "color=c=black:size=320x240:rate=10",
                           "-i",
                           path("red.ass"),
                           "-i",
                           path("white.srt"),
                           "-t",
                           "10",
                           "-map",
                           "0:v",
                           "-map",
                           "1:s",
                           "-map",
                           "2:s",
                           "-c:v",
                           "libx264",
                           "-preset",
                           "ultrafast",
                           "-g",
                           "10",
                           "-pix_fmt",
                           "yuv420p",
                           "-c:s:0",
                           "ass",
                           "-c:s:1",
                           "srt",
                           "-cluster_time_limit",
                           "300",
                           "-disposition:s:0",
                           "default",
                           path("subtitled.mkv")}));
        m_subtitled = sealFile(path("subtitled.mkv"), path("subtitled.vcz"));
        QVERIFY(m_subtitled.isValid());
        m_served.insert(m_subtitled.keyId, m_subtitled);
        QVERIFY(m_lecture.isValid());
        m_served.insert(m_lecture.keyId, m_lecture);
        QVERIFY(m_short.isValid() && m_long.isValid() && m_noise.isValid() &&
                m_unknownKey.isValid());
        for (const PageClip& c : {m_short, m_long, m_noise}) {
            m_served.insert(c.keyId, c);
        }

        QVERIFY(m_peer.listen());
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());
        AppConfig::instance()->setScreenshotDir(path("shots"));
    }

    void init()
    {
        m_peer.reset();
        m_peer.setHandler([this](const PeerRequest& r) {
            if (r.path != "/api/video/key") {
                return PeerResponse::raw(404, {});
            }
            const QString id = r.json().value("keyId").toString();
            if (id == m_unknownKey.keyId) {
                // A sentence of the server's own, with markup in it.
                return PeerResponse::refuse("SOMETHING_NEW", "<b>已下架</b>");
            }
            if (!m_served.contains(id)) {
                return PeerResponse::refuse("KEY_NOT_FOUND");
            }
            const PageClip& c = m_served[id];
            return PeerResponse::ok({{"key", QString::fromLatin1(c.key.toBase64())},
                                     {"iv", QString::fromLatin1(c.iv.toBase64())}});
        });
    }

    void overlayLayersCoverTheContainer()
    {
        OverlayContainer box;
        box.resize(200, 100);
        auto* a = new QWidget;
        auto* b = new QWidget(&box);
        auto* other = new QWidget(&box);
        other->setGeometry(0, 80, 50, 20);
        box.addLayer(a);
        box.addLayer(b);
        box.addLayer(a);
        box.addLayer(nullptr);
        QCOMPARE(box.layers(), (QList<QWidget*>{a, b}));
        QCOMPARE(a->parentWidget(), &box);

        box.resize(320, 240);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        for (QWidget* layer : box.layers()) {
            QCOMPARE(layer->geometry(), QRect(0, 0, 320, 240));
            QVERIFY(layer->isVisible());
        }
        // The last added is on top; a non-layer child is left where it was.
        QCOMPARE(box.childAt(5, 5), b);
        QCOMPARE(other->geometry(), QRect(0, 80, 50, 20));

        delete a;
        QCOMPARE(box.layers(), (QList<QWidget*>{b}));
    }

    void dropPlaysKnownRowAndAddsNewOnes()
    {
        PlayerWidget page;
        PlaylistModel* model = page.sidebar()->model();
        for (int i = 0; i < 4; ++i) {
            model->addEntry(entryFor(copyOf(m_short, QString("row%1.vcz").arg(i))));
        }
        const QString known = copyOf(m_short, "known.vcz");
        model->addEntry(entryFor(known));
        QVERIFY(writeFile(path("bad.vcz"), QByteArray(100, 'x')));
        const QString capital = copyOf(m_short, "CAPITAL.VCZ");
        const QString mp4 = copyOf(m_short, "container-named.mp4");

        QSignalSpy started(page.service(), &PlaybackService::playbackStarted);
        dropFiles(&page, {path("bad.vcz"), known, capital, mp4});

        QVERIFY(started.wait(kWaitMs));
        QCOMPARE(started.first().at(0).toString(), known);
        QCOMPARE(started.first().at(1).toInt(), 4);
        QCOMPARE(page.sidebar()->listView()->currentIndex().row(), 4);
        QCOMPARE(model->rowCount(), 6);
        QCOMPARE(model->entryAt(5).filePath, capital);
        QCOMPARE(model->entryAt(5).title, QStringLiteral("CAPITAL"));
        QCOMPARE(model->rowOfPath(mp4), -1);
        QCOMPARE(model->rowOfPath(path("bad.vcz")), -1);
        // The two left out are named, in one card.
        const QList<ConfirmDialog*> cards = openCards();
        QCOMPARE(cards.size(), 1);
        QVERIFY(messageOf(cards.first()).contains(QStringLiteral("bad.vcz")));
        QVERIFY(messageOf(cards.first()).contains(QStringLiteral("container-named.mp4")));
        cards.first()->close();
    }

    // A mix of containers and files that are none: the containers are added
    // (the first of them plays), the others are named in one card with why.
    void refusedFilesAreNamedInOneCard_data()
    {
        QTest::addColumn<bool>("dropped");
        QTest::newRow("dropped") << true;
        QTest::newRow("picked with the add button") << false;
    }

    void refusedFilesAreNamedInOneCard()
    {
        QFETCH(bool, dropped);
        const QString folder = path(dropped ? "mix-dropped" : "mix-picked");
        QDir(folder).removeRecursively();
        QVERIFY(QDir().mkpath(folder));
        const auto in = [&](const QString& name) { return folder + '/' + name; };
        QVERIFY(QFile::copy(m_short.path, in("good1.vcz")));
        QVERIFY(QFile::copy(m_long.path, in("good2.vcz")));
        QVERIFY(writeFile(in("magic.vcz"), QByteArray(100, 'x')));
        QVERIFY(writeFile(in("short.vcz"), QByteArray("VCZ1") + QByteArray(10, '\1')));
        QCOMPARE(::mkfifo(QFile::encodeName(in("pipe.vcz")).constData(), 0600), 0);
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), in("device.vcz")));
        const QString notRegular = QStringLiteral("不是普通文件（管道或设备），不会被打开");
        QHash<QString, QString> refused{
            {"magic.vcz", QStringLiteral("不是加密视频（.vcz）文件")},
            {"short.vcz", QStringLiteral("文件太短，不是完整的加密视频")},
            {"pipe.vcz", notRegular},
            {"device.vcz", notRegular},
        };
        QStringList names{"good1.vcz", "magic.vcz", "pipe.vcz",
                          "good2.vcz", "short.vcz", "device.vcz"};
        if (dropped) {
            // The file dialog cannot pick these: folders, and a container
            // whose name says it is something else.
            QVERIFY(QDir().mkpath(in("folder.vcz")));
            QVERIFY(QDir().mkpath(in("lessons")));
            QVERIFY(QFile::copy(m_short.path, in("clip.mp4")));
            refused.insert("folder.vcz", QStringLiteral("这是文件夹，不是视频文件"));
            refused.insert("lessons", QStringLiteral("这是文件夹，不是视频文件"));
            refused.insert("clip.mp4", QStringLiteral("不是加密视频（.vcz）文件"));
            names << "folder.vcz"
                  << "lessons"
                  << "clip.mp4";
        }

        PlayerWidget page;
        page.resize(900, 500);
        page.show();
        QSignalSpy started(page.service(), &PlaybackService::playbackStarted);
        if (dropped) {
            QStringList paths;
            for (const QString& n : names) {
                paths << in(n);
            }
            dropFiles(&page, paths);
        } else {
            AppConfig::instance()->setLastImportDir(folder);
            bool picked = false;
            ModalDriver::whenModal([&](QWidget* modal) {
                auto* dialog = qobject_cast<QFileDialog*>(modal);
                if (!dialog) {
                    if (modal) {
                        modal->close();
                    }
                    return;
                }
                QStringList quoted;
                for (const QString& n : names) {
                    quoted << '"' + n + '"';
                }
                dialog->setDirectory(folder);
                auto* typed = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                if (!typed) {
                    static_cast<QDialog*>(dialog)->reject();
                    return;
                }
                typed->setText(quoted.join(' '));
                picked = true;
                static_cast<QDialog*>(dialog)->accept();
            });
            auto* add = page.sidebar()->findChild<QPushButton*>(QStringLiteral("sidebarAddBtn"));
            QVERIFY(add);
            QTest::mouseClick(add, Qt::LeftButton);
            QVERIFY(picked);
        }
        QVERIFY(!started.isEmpty() || started.wait(kWaitMs));
        QCOMPARE(started.first().at(0).toString(), in("good1.vcz"));
        PlaylistModel* model = page.sidebar()->model();
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(model->entryAt(0).filePath, in("good1.vcz"));
        QCOMPARE(model->entryAt(1).filePath, in("good2.vcz"));

        const QList<ConfirmDialog*> cards = openCards();
        QCOMPARE(cards.size(), 1);
        const QString text = messageOf(cards.first());
        for (auto it = refused.cbegin(); it != refused.cend(); ++it) {
            const QString line = QStringLiteral("• %1：%2").arg(it.key(), it.value());
            QVERIFY2(text.contains(line), qPrintable(line + " missing from: " + text));
        }
        QCOMPARE(text.count(QStringLiteral("• ")), refused.size());
        QVERIFY(!text.contains(QStringLiteral("good")));
        auto* ok = cards.first()->findChild<QPushButton*>(QStringLiteral("confirmOk"));
        QVERIFY(ok);
        ok->click();
        QTRY_VERIFY(openCards().isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return page.player()->state() == PlayerState::Playing; },
                                kWaitMs));
    }

    void fullListDropPlaysTheFirstDroppedFile_data()
    {
        QTest::addColumn<bool>("firstIsListed");
        QTest::newRow("three new files") << false;
        QTest::newRow("the earliest played row, then two new files") << true;
    }

    void fullListDropPlaysTheFirstDroppedFile()
    {
        QFETCH(bool, firstIsListed);
        PlayerWidget page;
        PlaylistModel* model = page.sidebar()->model();
        const QString filler = copyOf(m_short, "filler.vcz");
        const QDateTime earlier = QDateTime::currentDateTime().addDays(-1);
        QList<PlaylistEntry> full;
        for (int i = 0; i < PlaylistModel::kCapacity; ++i) {
            PlaylistEntry e = entryFor(filler);
            e.fileId = e.filePath = filler + QString::number(i);  // distinct rows
            if (firstIsListed && i == 0) {
                e.fileId = e.filePath = copyOf(m_short, "listed.vcz");
            }
            e.lastPlayedAt = earlier.addSecs(i);
            full.append(e);
        }
        model->addEntries(full);
        QCOMPARE(model->rowCount(), PlaylistModel::kCapacity);

        QStringList dropped{copyOf(m_short, "a.vcz"), copyOf(m_short, "b.vcz"),
                            copyOf(m_short, "c.vcz")};
        if (firstIsListed) {
            // Row 0 was played longest ago: the first to go to make room.
            dropped[0] = model->entryAt(0).filePath;
        }
        QSignalSpy started(page.service(), &PlaybackService::playbackStarted);
        dropFiles(&page, dropped);

        QVERIFY(started.wait(kWaitMs));
        QCOMPARE(started.first().at(0).toString(), dropped[0]);
        QCOMPARE(model->rowCount(), PlaylistModel::kCapacity);
        for (const QString& p : dropped) {
            QVERIFY2(model->rowOfPath(p) >= 0, qPrintable(p));
        }
        QCOMPARE(model->entryAt(started.first().at(1).toInt()).filePath, dropped[0]);
    }

    void removingTheLoadedRowShowsTheEmptyPage_data()
    {
        QTest::addColumn<bool>("ended");
        QTest::newRow("playing") << false;
        QTest::newRow("ended, under the replay button") << true;
    }

    void removingTheLoadedRowShowsTheEmptyPage()
    {
        QFETCH(bool, ended);
        KeyRecorder frame;
        frame.resize(900, 500);
        auto* page = new PlayerWidget(&frame);
        page->resize(900, 500);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));

        // Nothing loaded: the mouse over the video does not bring the bar.
        moveMouseOver(page->videoContainer());
        moveMouseOver(page->controlBar());
        QVERIFY(page->emptyState()->isVisible());
        QVERIFY(page->controlBar()->isHidden());

        page->openFile(ended ? m_short.path : m_long.path);
        QVERIFY(waitForState(*page, PlayerState::Playing));
        QVERIFY(!page->emptyState()->isVisible());
        QVERIFY(page->watermark()->isVisible());
        QVERIFY(page->controlBar()->isVisible());
        if (ended) {
            QVERIFY(waitForState(*page, PlayerState::Stopped));
            QVERIFY(page->replayOverlay()->isVisible());
            QVERIFY(!page->videoRenderer()->currentImage().isNull());
        }
        QCOMPARE(page->controlBar()->geometry(),
                 QRect(0, page->videoContainer()->height() - PlayerWidget::kControlBarHeight,
                       page->videoContainer()->width(), PlayerWidget::kControlBarHeight));

        // Remove it the user's way, through the row's context menu.
        QListView* list = page->sidebar()->listView();
        const QPoint at = list->visualRect(page->sidebar()->model()->index(0)).center();
        QTimer::singleShot(50, [] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                menu->setActiveAction(menu->actions().first());
                QTest::keyClick(menu, Qt::Key_Return);
            }
        });
        page->sidebar()->onContextMenu(at);
        QCOMPARE(page->sidebar()->model()->rowCount(), 0);

        QVERIFY(QTest::qWaitFor([&] { return page->emptyState()->isVisible(); }, kWaitMs));
        QCOMPARE(page->player()->state(), PlayerState::Stopped);
        QVERIFY(page->controlBar()->isHidden());
        QVERIFY(page->watermark()->isHidden());
        QVERIFY(page->replayOverlay()->isHidden());
        QVERIFY(page->videoRenderer()->currentImage().isNull());
        // Picture for picture the page of a fresh start: no last picture, no
        // replay button, no watermark, no bar.
        QCOMPARE(videoArea(*page), emptyAreaLike(*page));

        moveMouseOver(page->videoContainer());
        moveMouseOver(page->videoRenderer());
        moveMouseOver(page->controlBar());
        QVERIFY(page->controlBar()->isHidden());
    }

    void theEndReadsTheLengthAndReplayNeedsNoNewKey()
    {
        PlayerWidget page;
        page.resize(800, 450);
        page.show();
        page.openFile(m_short.path);
        QVERIFY(waitForState(page, PlayerState::Playing));
        QVERIFY(waitForState(page, PlayerState::Stopped));
        QVERIFY(page.replayOverlay()->isVisible());
        QVERIFY(page.controlBar()->isVisible());
        QCOMPARE(keyRequests(), 1);
        // The time reads the whole length and the handle is at the right
        // edge, although the last picture starts a frame earlier.
        auto* time = page.controlBar()->findChild<QLabel*>("timeLabel");
        auto* seek = page.controlBar()->findChild<QSlider*>("progressSlider");
        QCOMPARE(seek->value(), seek->maximum());
        QCOMPARE(time->text(), QStringLiteral("00:01 / 00:01"));

        QTest::mouseClick(page.replayButton(), Qt::LeftButton);
        QCOMPARE(page.player()->state(), PlayerState::Playing);
        QVERIFY(page.replayOverlay()->isHidden());
        QVERIFY(waitForState(page, PlayerState::Stopped));
        QCOMPARE(keyRequests(), 1);
    }

    // A chosen row that fails (damaged header, refused key, no media in it)
    // after the file before it has ended: the highlight, the picture and the
    // replay button all speak of the failed row, and nothing brings the ended
    // file back. While the file before still plays, it keeps the highlight.
    void failedChoiceSpeaksOfOneFile_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<bool>("firstEnded");
        QTest::newRow("damaged header after the end") << "header" << true;
        QTest::newRow("refused key after the end") << "key" << true;
        QTest::newRow("no media inside after the end") << "media" << true;
        QTest::newRow("damaged header while playing") << "header" << false;
        QTest::newRow("refused key while playing") << "key" << false;
    }

    void failedChoiceSpeaksOfOneFile()
    {
        QFETCH(QString, failure);
        QFETCH(bool, firstEnded);
        PlayerWidget page;
        page.resize(900, 500);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        const QString first = copyOf(firstEnded ? m_short : m_long, "first.vcz");
        const PageClip& failing =
            failure == "key" ? m_unknownKey : (failure == "media" ? m_noise : m_short);
        const QString second = copyOf(failing, "second.vcz");
        PlaylistModel* model = page.sidebar()->model();
        model->addEntries({entryFor(first), entryFor(second)});
        if (failure == "header") {
            QVERIFY(writeFile(second, QByteArray(60, '\0')));  // damaged since it was listed
        }

        doubleClickRow(page, 0);
        QVERIFY(waitForState(page, PlayerState::Playing));
        if (firstEnded) {
            QVERIFY(waitForState(page, PlayerState::Stopped));
            QVERIFY(page.replayOverlay()->isVisible());
        } else {
            QVERIFY(QTest::qWaitFor([&] { return !page.videoRenderer()->currentImage().isNull(); },
                                    kWaitMs));
        }
        QVERIFY(!page.videoRenderer()->currentImage().isNull());

        Card seen;
        bool done = false;
        answerNextCard(&seen, &done);
        doubleClickRow(page, 1);
        QVERIFY(QTest::qWaitFor([&] { return done; }, kWaitMs));
        QVERIFY(!seen.title.isEmpty());
        const int keysAfter = keyRequests();
        QListView* list = page.sidebar()->listView();

        if (!firstEnded) {
            QCOMPARE(list->currentIndex().row(), 0);
            QCOMPARE(page.player()->state(), PlayerState::Playing);
            QVERIFY(page.replayOverlay()->isHidden());
            QVERIFY(!page.videoRenderer()->currentImage().isNull());
            return;
        }
        QCOMPARE(list->currentIndex().row(), 1);
        QVERIFY(page.replayOverlay()->isHidden());
        QVERIFY(page.videoRenderer()->currentImage().isNull());
        QVERIFY(!model->entryAt(0).playing);
        if (failure == "media") {
            return;  // the failed file is loaded; it only has nothing to show
        }
        QCOMPARE(videoArea(page), emptyAreaLike(page));
        // Space, or the bar's play button, must not replay the ended file
        // under the failed row's highlight.
        QTest::keyClick(&page, Qt::Key_Space);
        emit page.controlBar()->playPauseClicked();
        QTest::qWait(200);
        QVERIFY(page.player()->state() != PlayerState::Playing);
        QVERIFY(page.replayOverlay()->isHidden());
        QCOMPARE(keyRequests(), keysAfter);
    }

    void emptyIconOpensTheFileDialog_data()
    {
        QTest::addColumn<bool>("valid");
        QTest::newRow("a container") << true;
        QTest::newRow("an invalid file still moves the folder") << false;
    }

    void emptyIconOpensTheFileDialog()
    {
        QFETCH(bool, valid);
        const QString folder = path(valid ? "picked" : "picked-bad");
        QVERIFY(QDir().mkpath(folder));
        const QString file = folder + "/clip.vcz";
        QFile::remove(file);
        if (valid) {
            QVERIFY(QFile::copy(m_short.path, file));
        } else {
            QVERIFY(writeFile(file, QByteArray(80, 'x')));
        }
        AppConfig::instance()->setLastImportDir(QString());

        PlayerWidget page;
        page.resize(800, 450);
        page.show();
        QSignalSpy started(page.service(), &PlaybackService::playbackStarted);
        bool driven = false;
        ModalDriver::whenModal([&](QWidget* modal) {
            driven = true;
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) {
                if (modal) {
                    modal->close();
                }
                return;
            }
            dialog->selectFile(file);
            static_cast<QDialog*>(dialog)->accept();
        });
        auto* icon = page.emptyState()->findChild<QLabel*>("emptyIcon");
        QVERIFY(icon);
        QTest::mouseClick(icon, Qt::LeftButton);
        QVERIFY(driven);
        QCOMPARE(AppConfig::instance()->lastImportDir(), folder);
        if (valid) {
            QVERIFY(started.wait(kWaitMs));
            QCOMPARE(started.first().at(0).toString(), file);
            QVERIFY(openCards().isEmpty());
        } else {
            QCOMPARE(page.sidebar()->model()->rowCount(), 0);
            const QList<ConfirmDialog*> cards = openCards();
            QCOMPARE(cards.size(), 1);
            QVERIFY(messageOf(cards.first()).contains(QStringLiteral("clip.vcz")));
            cards.first()->close();
        }
    }

    void sidebarToggleAndDoubleClickKeepTheBarInPlace()
    {
        PlayerWidget page;
        page.resize(900, 500);
        page.show();
        page.openFile(m_long.path);
        QVERIFY(waitForState(page, PlayerState::Playing));
        const auto barFits = [&] {
            const QWidget* box = page.videoContainer();
            return page.controlBar()->geometry() ==
                   QRect(0, box->height() - PlayerWidget::kControlBarHeight, box->width(),
                         PlayerWidget::kControlBarHeight);
        };
        const int wide = page.videoContainer()->width();
        page.toggleSidebar();
        QVERIFY(QTest::qWaitFor([&] { return page.videoContainer()->width() > wide; }, kWaitMs));
        QVERIFY(QTest::qWaitFor(barFits, kWaitMs));

        QTest::mouseDClick(page.videoRenderer(), Qt::LeftButton);
        QVERIFY(page.isFullscreen());
        QTest::mouseDClick(page.videoRenderer(), Qt::LeftButton);
        QVERIFY(!page.isFullscreen());
        QVERIFY(QTest::qWaitFor(barFits, kWaitMs));
    }

    void keysSeekToggleAndLeaveFullscreen()
    {
        KeyRecorder frame;
        auto* page = new PlayerWidget(&frame);
        frame.resize(800, 450);
        frame.show();

        // Nothing loaded: the arrows change nothing.
        QTest::keyClick(page, Qt::Key_Right);
        QCOMPARE(page->player()->state(), PlayerState::Idle);
        QCOMPARE(page->player()->position(), 0);

        page->openFile(m_long.path);
        QVERIFY(waitForState(*page, PlayerState::Playing));
        QTest::keyClick(page, Qt::Key_Space);
        QCOMPARE(page->player()->state(), PlayerState::Paused);

        const qint64 before = page->player()->position();
        QTest::keyClick(page, Qt::Key_Right);
        QCOMPARE(page->player()->position(), before + PlayerWidget::kKeySeekMs);
        QTest::keyClick(page, Qt::Key_Right);
        QTest::keyClick(page, Qt::Key_Left);
        QCOMPARE(page->player()->position(), before + PlayerWidget::kKeySeekMs);
        QTest::keyClick(page, Qt::Key_Left);
        QTest::keyClick(page, Qt::Key_Left);
        QCOMPARE(page->player()->position(), 0);
        QTest::keyClick(page, Qt::Key_Space);
        QCOMPARE(page->player()->state(), PlayerState::Playing);
        QVERIFY(frame.keys.isEmpty());

        // Escape outside full screen belongs to whoever holds the page.
        QTest::keyClick(page, Qt::Key_Escape);
        QCOMPARE(frame.keys, QList<int>{Qt::Key_Escape});

        page->onFullscreen();
        QVERIFY(page->isFullscreen());
        QVERIFY(frame.windowState() & Qt::WindowFullScreen);
        QVERIFY(page->sidebar()->isHidden());
        QTest::keyClick(page, Qt::Key_Escape);
        QVERIFY(!page->isFullscreen());
        QVERIFY(!(frame.windowState() & Qt::WindowFullScreen));
        QVERIFY(!page->sidebar()->isHidden());
        QCOMPARE(frame.keys.size(), 1);
    }

    // The keys viewers know from other players, and that each travels on
    // where it has nothing to do.
    void viewerKeys()
    {
        KeyRecorder frame;
        auto* page = new PlayerWidget(&frame);
        frame.resize(800, 450);
        frame.show();
        page->openFile(m_lecture.path);
        QVERIFY(waitForState(*page, PlayerState::Playing));
        auto* seekBar = page->controlBar()->findChild<SeekSlider*>();
        QVERIFY(seekBar);
        QCOMPARE(seekBar->chapters().size(), 3);
        const auto heard = [&] { return qRound(page->player()->audioRenderer()->volume() * 100); };

        // Volume in steps of five, held inside 0..100; louder unmutes.
        page->controlBar()->setVolume(50);
        QTest::keyClick(page, Qt::Key_Down);
        QCOMPARE(page->controlBar()->volume(), 45);
        QCOMPARE(heard(), 45);
        for (int i = 0; i < 15; ++i) {
            QTest::keyClick(page, Qt::Key_Up);
        }
        QCOMPARE(page->controlBar()->volume(), 100);
        QCOMPARE(heard(), 100);
        QTest::keyClick(page, Qt::Key_M);
        QVERIFY(page->player()->isMuted());
        QTest::keyClick(page, Qt::Key_Down);
        QVERIFY(page->player()->isMuted());  // quieter stays muted
        QTest::keyClick(page, Qt::Key_Up);
        QVERIFY(!page->player()->isMuted());
        QCOMPARE(page->controlBar()->volume(), 100);

        // Speed one menu step at a time, held at the menu's ends.
        page->controlBar()->setSpeed(1.0);
        QTest::keyClick(page, Qt::Key_BracketRight);
        QCOMPARE(page->controlBar()->speed(), 1.25);
        QCOMPARE(page->player()->clock()->speed(), 1.25);
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(page, Qt::Key_BracketRight);
        }
        QCOMPARE(page->controlBar()->speed(), 2.0);
        QTest::keyClick(page, Qt::Key_BracketLeft);
        QCOMPARE(page->controlBar()->speed(), 1.5);
        QCOMPARE(page->player()->clock()->speed(), 1.5);
        QCOMPARE(AppConfig::instance()->speed(), 1.5);
        page->controlBar()->setSpeed(1.0);
        page->service()->setSpeed(1.0);

        // Frame steps only while paused; playing, the key travels on.
        QTest::keyClick(page, Qt::Key_Period);
        QCOMPARE(frame.keys, QList<int>{Qt::Key_Period});
        QTest::keyClick(page, Qt::Key_Space);
        QCOMPARE(page->player()->state(), PlayerState::Paused);
        page->service()->seek(2000);
        QTest::keyClick(page, Qt::Key_Period);
        QCOMPARE(page->player()->position(), 2100);
        QTest::keyClick(page, Qt::Key_Comma);
        QTest::keyClick(page, Qt::Key_Comma);
        QCOMPARE(page->player()->position(), 1900);

        // Chapters: on to the next start; back within three seconds of a
        // start goes to the one before; past the last there is no next.
        QTest::keyClick(page, Qt::Key_PageDown);
        QCOMPARE(page->player()->position(), 4000);
        QTest::keyClick(page, Qt::Key_PageDown);
        QCOMPARE(page->player()->position(), 8000);
        QTest::keyClick(page, Qt::Key_PageDown);
        QCOMPARE(page->player()->position(), 8000);
        QCOMPARE(frame.keys.last(), int(Qt::Key_PageDown));
        page->service()->seek(11500);
        QTest::keyClick(page, Qt::Key_PageUp);
        QCOMPARE(page->player()->position(), 8000);
        QTest::keyClick(page, Qt::Key_PageUp);
        QCOMPARE(page->player()->position(), 4000);
        page->service()->seek(5000);
        QTest::keyClick(page, Qt::Key_PageUp);
        QCOMPARE(page->player()->position(), 0);

        // F goes in and out of full screen.
        QTest::keyClick(page, Qt::Key_F);
        QVERIFY(page->isFullscreen());
        QTest::keyClick(page, Qt::Key_F);
        QVERIFY(!page->isFullscreen());
        QCOMPARE(frame.keys.size(), 2);

        // The level is kept for the next page and run: leave it as found.
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(page, Qt::Key_Down);
        }
        QCOMPARE(page->controlBar()->volume(), 80);

        // Another file without chapters takes the marks away.
        page->openFile(m_long.path);
        QVERIFY(waitForState(*page, PlayerState::Playing));
        QVERIFY(seekBar->chapters().isEmpty());
    }

    // Subtitles on the picture: in their colour in the lower part while due,
    // at once after a seek into the middle of one, and gone with V.
    void subtitlesOnThePicture()
    {
        KeyRecorder frame;
        PlayerWidget* page = pausedPage(frame, m_subtitled.path);
        QVERIFY(page);
        // A line in that colour in the lower half, and nothing of it above.
        const auto shownBelow = [&](auto isColour) {
            const QImage shot = page->videoRenderer()->grab().toImage();
            int seen = 0;
            int top = shot.height();
            for (int y = 0; y < shot.height(); ++y) {
                for (int x = 0; x < shot.width(); ++x) {
                    if (isColour(shot.pixelColor(x, y))) {
                        ++seen;
                        top = std::min(top, y);
                    }
                }
            }
            return seen > 100 && top > shot.height() / 2;
        };
        const auto redBelow = [&] {
            return shownBelow(
                [](const QColor& c) { return c.red() > 200 && c.green() < 60 && c.blue() < 60; });
        };
        const auto whiteBelow = [&] {
            return shownBelow(
                [](const QColor& c) { return c.red() > 200 && c.green() > 200 && c.blue() > 200; });
        };
        // Straight into the middle of the line: its packet lies before the
        // key frame the seek lands on, and it is on screen at once.
        page->service()->seek(4500);
        QTRY_VERIFY_WITH_TIMEOUT(redBelow(), 5000);
        QTest::keyClick(page, Qt::Key_V);
        QTRY_VERIFY_WITH_TIMEOUT(!redBelow(), 5000);
        QTest::keyClick(page, Qt::Key_V);
        QTRY_VERIFY_WITH_TIMEOUT(redBelow(), 5000);
        QVERIFY(!whiteBelow());
        // The SubRip track in the default style, and back to the styled one.
        const QList<MediaTrack> tracks = page->player()->mediaInfo().subtitleTracks;
        QCOMPARE(tracks.size(), 2);
        QVERIFY(page->service()->setSubtitleTrack(tracks[1].streamIndex));
        QTRY_VERIFY_WITH_TIMEOUT(whiteBelow() && !redBelow(), 5000);
        QVERIFY(page->service()->setSubtitleTrack(tracks[0].streamIndex));
        QTRY_VERIFY_WITH_TIMEOUT(redBelow() && !whiteBelow(), 5000);
        page->service()->seek(6500);
        QTRY_VERIFY_WITH_TIMEOUT(!redBelow(), 5000);  // over
        page->service()->seek(2000);
        QTest::qWait(300);
        QVERIFY(!redBelow());  // not yet due
    }

    // The watermark lies over the subtitles: where a subtitle covers the
    // whole picture, the watermark's strokes still show on it, and they
    // are the only thing that does.
    void watermarkAboveSubtitles()
    {
        KeyRecorder frame;
        PlayerWidget* page = pausedPage(frame, m_subtitled.path);
        QVERIFY(page);
        page->service()->seek(8000);
        VideoRenderer* video = page->videoRenderer();
        const auto notRed = [&] {
            const QImage shot =
                page->grab(QRect(video->mapTo(page, QPoint(0, 0)), video->size())).toImage();
            // Inside the red picture (its blended edges aside), above the
            // control bar.
            QRect picture;
            for (int y = 0; y < shot.height(); ++y) {
                for (int x = 0; x < shot.width(); ++x) {
                    const QColor c = shot.pixelColor(x, y);
                    if (c.red() > 245 && c.green() < 10 && c.blue() < 10) {
                        picture |= QRect(x, y, 1, 1);
                    }
                }
            }
            const QRect middle = picture.adjusted(3, 3, -3, -100);
            int red = 0;
            int other = 0;
            for (int y = middle.top(); y <= middle.bottom(); ++y) {
                for (int x = middle.left(); x <= middle.right(); ++x) {
                    const QColor c = shot.pixelColor(x, y);
                    const bool pure = c.red() > 245 && c.green() < 10 && c.blue() < 10;
                    (pure ? red : other) += 1;
                }
            }
            return red > middle.width() * middle.height() / 2 ? other : -1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(notRed() >= 0, 5000);
        QVERIFY(page->watermark()->isVisible());
        const int marked = notRed();
        QVERIFY2(marked > 50, qPrintable(QString::number(marked)));
        page->watermark()->hide();
        QCOMPARE(notRed(), 0);
    }

    void failuresShowTheirCard_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("key refused") << "refused"
                                     << "授权失败"
                                     << "服务器找不到该视频的密钥";
        QTest::newRow("server sentence is text") << "sentence"
                                                 << "授权失败"
                                                 << "<b>已下架</b>";
        QTest::newRow("damaged header") << "header"
                                        << "文件无法识别"
                                        << "无法读取该加密视频的文件头，可能已损坏。";
        QTest::newRow("not a container") << "path"
                                         << "文件无法识别"
                                         << "这不是合法的加密视频（.vcz）文件。";
        QTest::newRow("no media inside") << "decode"
                                         << "播放错误"
                                         << "无法打开媒体流";
        QTest::newRow("a FIFO is refused unread") << "fifo"
                                                  << "文件无法识别"
                                                  << "这不是合法的加密视频（.vcz）文件。";
    }

    void failuresShowTheirCard()
    {
        QFETCH(QString, what);
        QFETCH(QString, title);
        QFETCH(QString, text);

        PlayerWidget page;
        page.show();
        Card seen;
        bool done = false;
        if (what == "refused") {
            // A container the peer has no key for.
            const PageClip stranger = sealFile(path("tiny.mp4"), path("stranger.vcz"));
            QVERIFY(stranger.isValid());
            answerNextCard(&seen, &done);
            page.openFile(stranger.path);
        } else if (what == "sentence") {
            answerNextCard(&seen, &done);
            page.openFile(m_unknownKey.path);
        } else if (what == "header") {
            const QString damaged = copyOf(m_short, "damaged.vcz");
            page.sidebar()->model()->addEntry(entryFor(damaged));
            QVERIFY(writeFile(damaged, QByteArray(60, '\0')));
            answerNextCard(&seen, &done);
            emit page.sidebar()->itemActivated(0);
        } else if (what == "path") {
            QVERIFY(writeFile(path("fake.vcz"), QByteArray("VCZ1") + QByteArray(10, '\1')));
            answerNextCard(&seen, &done);
            page.openFile(path("fake.vcz"));
        } else if (what == "fifo") {
            // Reading it would wait for a writer that never comes.
            const QString fifo = path("pipe.vcz");
            QFile::remove(fifo);
            QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
            answerNextCard(&seen, &done);
            page.openFile(fifo);
        } else {
            answerNextCard(&seen, &done);
            page.openFile(m_noise.path);
        }
        QVERIFY(QTest::qWaitFor([&] { return done; }, kWaitMs));
        QCOMPARE(seen.title, title);
        QCOMPARE(seen.text, text);
        QVERIFY(seen.plain);
        if (what != "decode") {
            // Nothing started: the bar stays off the empty page.
            QVERIFY(page.emptyState()->isVisible());
            QVERIFY(page.controlBar()->isHidden());
        }
    }

    void playlistsOfUsersStayApart_data()
    {
        QTest::addColumn<QString>("other");
        QTest::addColumn<QString>("user");
        QTest::newRow("slash") << "u/1"
                               << "u";
        QTest::newRow("slash, the other way") << "u"
                                              << "u/1";
        QTest::newRow("backslash") << "u\\1"
                                   << "u";
        QTest::newRow("letter case") << "ab"
                                     << "AB";
        QTest::newRow("percent") << "a/b"
                                 << "a%2Fb";
        QTest::newRow("the default list") << ""
                                          << "default";
        QTest::newRow("same user reloads") << "7"
                                           << "7";
    }

    void playlistsOfUsersStayApart()
    {
        QFETCH(QString, other);
        QFETCH(QString, user);
        QSettings("Veilcast", "Veilcast").remove("playlist");
        const QString theirs = copyOf(m_short, "theirs.vcz");
        const QString mine = copyOf(m_long, "mine.vcz");
        if (other.isEmpty()) {
            // The list kept while nobody is logged in.
            AppConfig::instance()->savePlaylist(QString(), {entryFor(theirs)});
        } else {
            PlayerWidget page;
            page.loadPlaylist(other);
            page.sidebar()->model()->addEntry(entryFor(theirs));  // saved by itself
        }
        {
            PlayerWidget page;
            page.loadPlaylist(user);
            if (user == other) {
                QCOMPARE(page.sidebar()->model()->rowCount(), 1);
                // Loading again must not save the emptied list over it.
                page.loadPlaylist(user);
                QCOMPARE(page.sidebar()->model()->rowCount(), 1);
                return;
            }
            QCOMPARE(page.sidebar()->model()->rowCount(), 0);
            page.sidebar()->model()->addEntry(entryFor(mine));  // saved by itself
        }
        PlayerWidget page;
        page.loadPlaylist(other);
        QCOMPARE(page.sidebar()->model()->rowCount(), 1);
        QCOMPARE(page.sidebar()->model()->entryAt(0).filePath, theirs);
        page.loadPlaylist(user);
        QCOMPARE(page.sidebar()->model()->rowCount(), 1);
        QCOMPARE(page.sidebar()->model()->entryAt(0).filePath, mine);
    }

    void storedListOfAPlainIdIsStillRead()
    {
        // Lists stored before ids were encoded: ids that hold no separator
        // keep their group.
        QSettings("Veilcast", "Veilcast").remove("playlist");
        const QString file = copyOf(m_short, "old.vcz");
        AppConfig::instance()->savePlaylist("1042", {entryFor(file)});
        QCOMPARE(PlayerWidget::storeName("1042"), QStringLiteral("1042"));
        PlayerWidget page;
        page.loadPlaylist("1042");
        QCOMPARE(page.sidebar()->model()->rowCount(), 1);
        QCOMPARE(page.sidebar()->model()->entryAt(0).filePath, file);
    }

    void volumeShownIsVolumeHeard()
    {
        PlayerWidget page;
        auto* slider = page.controlBar()->findChild<QSlider*>("volSlider");
        QVERIFY(slider);
        QVERIFY(slider->value() != 100);  // else the check below proves nothing
        QCOMPARE(qRound(page.player()->audioRenderer()->volume() * 100), slider->value());
        slider->setValue(35);
        QCOMPARE(qRound(page.player()->audioRenderer()->volume() * 100), 35);
    }

    // The bar's controls take no focus: after a click on either slider the
    // arrows still seek (a focused slider would take them as its own steps),
    // and a click on the volume bar sets the level under the pointer.
    void arrowsSeekAfterAClickOnTheBar()
    {
        PlayerWidget page;
        page.resize(900, 500);
        page.show();
        page.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&page));
        page.openFile(m_long.path);
        QVERIFY(waitForState(page, PlayerState::Playing));
        QTest::keyClick(&page, Qt::Key_Space);
        QVERIFY(waitForState(page, PlayerState::Paused));

        auto* seek = page.controlBar()->findChild<QSlider*>("progressSlider");
        auto* volume = page.controlBar()->findChild<QSlider*>("volSlider");
        QVERIFY(seek && volume);
        QVERIFY(QTest::qWaitFor([&] { return seek->isVisible(); }, kWaitMs));

        auto* time = page.controlBar()->findChild<QLabel*>("timeLabel");
        QVERIFY(QTest::qWaitFor([&] { return time->text().endsWith("00:30"); }, kWaitMs));
        QTest::mouseClick(seek, Qt::LeftButton, {}, QPoint(seek->width() / 2, seek->height() / 2));
        const qint64 clicked = page.player()->position();
        QVERIFY2(qAbs(clicked - 15000) < 1000, qPrintable(QString::number(clicked)));
        // Sent where the keyboard focus is, as a real key press is.
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Right);
        QCOMPARE(page.player()->position(), clicked + PlayerWidget::kKeySeekMs);

        volume->setValue(80);
        QTest::mouseClick(volume, Qt::LeftButton, {},
                          QPoint(volume->width() / 4, volume->height() / 2));
        QVERIFY2(qAbs(volume->value() - 25) <= 5, qPrintable(QString::number(volume->value())));
        const int level = volume->value();
        QCOMPARE(qRound(page.player()->audioRenderer()->volume() * 100), level);
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Left);
        QCOMPARE(page.player()->position(), clicked);
        QCOMPARE(volume->value(), level);

        // Space toggles the playback, not whatever button was clicked last.
        QTest::mouseClick(page.controlBar()->volumeButton(), Qt::LeftButton);
        QVERIFY(page.player()->isMuted());
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Space);
        QCOMPARE(page.player()->state(), PlayerState::Playing);
        QVERIFY(page.player()->isMuted());
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_M);
        QVERIFY(!page.player()->isMuted());
    }

    // The speaker button and M silence the sound without moving the level;
    // the icon says so; level, silence and speed outlive the file and the
    // page (the next run).
    void muteVolumeAndSpeedAreKept()
    {
        QImage loudIcon;
        {
            PlayerWidget page;
            page.resize(800, 450);
            page.show();
            ControlBar* bar = page.controlBar();
            auto* speaker = bar->volumeButton();
            auto* volume = bar->findChild<QSlider*>("volSlider");
            QVERIFY(speaker && volume);
            loudIcon = speaker->icon().pixmap(20).toImage();
            volume->setValue(42);
            QVERIFY(!page.player()->isMuted());

            QTest::mouseClick(speaker, Qt::LeftButton);
            QVERIFY(page.player()->isMuted());
            QVERIFY(bar->isMuted());
            QVERIFY(speaker->icon().pixmap(20).toImage() != loudIcon);
            QCOMPARE(volume->value(), 42);
            QTest::keyClick(&page, Qt::Key_M);
            QVERIFY(!page.player()->isMuted());
            QCOMPARE(speaker->icon().pixmap(20).toImage(), loudIcon);
            QTest::keyClick(&page, Qt::Key_M);
            QVERIFY(page.player()->isMuted());
            bar->onSpeedMenuPick(1.5);
            QCOMPARE(page.player()->clock()->speed(), 1.5);

            // Another file keeps them.
            page.openFile(m_short.path);
            QVERIFY(waitForState(page, PlayerState::Playing));
            page.openFile(m_long.path);
            QVERIFY(waitForState(page, PlayerState::Playing));
            QVERIFY(page.player()->isMuted());
            QCOMPARE(page.player()->clock()->speed(), 1.5);
            QCOMPARE(qRound(page.player()->audioRenderer()->volume() * 100), 42);
            page.player()->stop();
        }

        PlayerWidget next;
        ControlBar* bar = next.controlBar();
        QCOMPARE(bar->findChild<QSlider*>("volSlider")->value(), 42);
        QCOMPARE(qRound(next.player()->audioRenderer()->volume() * 100), 42);
        QVERIFY(next.player()->isMuted());
        QVERIFY(bar->isMuted());
        QVERIFY(bar->volumeButton()->icon().pixmap(20).toImage() != loudIcon);
        QCOMPARE(bar->speed(), 1.5);
        QCOMPARE(bar->findChild<QPushButton*>("speedBtn")->text(), QStringLiteral("1.5x"));
        QCOMPARE(next.player()->clock()->speed(), 1.5);

        // Back to the defaults for the tests after this one.
        QTest::keyClick(&next, Qt::Key_M);
        bar->onSpeedMenuPick(1.0);
        bar->findChild<QSlider*>("volSlider")->setValue(AppConfig::kDefaultVolume);
    }

    void secondScreenshotReplacesTheToast()
    {
        PlayerWidget page;
        page.resize(800, 450);
        page.show();
        page.openFile(m_long.path);
        QVERIFY(QTest::qWaitFor([&] { return !page.videoRenderer()->currentImage().isNull(); },
                                kWaitMs));
        QTest::keyClick(&page, Qt::Key_Space);

        page.onScreenshot();
        QPointer<QPushButton> first = page.toast();
        QVERIFY(first);
        QCOMPARE(first->objectName(), QStringLiteral("shotToast"));
        QVERIFY(first->isVisible());
        QTest::qWait(300);
        page.onScreenshot();
        QVERIFY(page.toast() && page.toast() != first.data());
        QVERIFY(!first || first->isHidden());
        QVERIFY(page.toast()->isVisible());
        QVERIFY(page.toastTimer()->remainingTime() > PlayerWidget::kToastMs - 300);
        QCOMPARE(QDir(path("shots")).entryList({"*.png"}, QDir::Files).size(), 2);
        QVERIFY(QTest::qWaitFor([&] { return page.toast()->isHidden(); }, kWaitMs));
    }

    void toastSaysWhenTheFolderDoesNotOpen_data()
    {
        QTest::addColumn<bool>("opens");
        QTest::newRow("a program opens it") << true;
        QTest::newRow("no program opens it") << false;
    }

    void toastSaysWhenTheFolderDoesNotOpen()
    {
        QFETCH(bool, opens);
        PlayerWidget page;
        page.resize(800, 450);
        page.show();
        page.openFile(m_long.path);
        QVERIFY(QTest::qWaitFor([&] { return !page.videoRenderer()->currentImage().isNull(); },
                                kWaitMs));
        QTest::keyClick(&page, Qt::Key_Space);
        QStringList asked;
        page.setFolderOpener([&](const QUrl& url) {
            asked << url.toLocalFile();
            return opens;
        });
        page.onScreenshot();
        QVERIFY(page.toast());

        QString card;
        bool looked = false;
        ModalDriver::acceptNextCard(&card, &looked, opens ? 300 : 5000);
        page.toast()->click();
        QVERIFY(QTest::qWaitFor([&] { return looked; }, kWaitMs));
        QCOMPARE(asked, QStringList{QDir(path("shots")).absolutePath()});
        QCOMPARE(card.isEmpty(), opens);
        if (!opens) {
            QCOMPARE(card, FolderOpener::failureMessage(QDir(path("shots")).absolutePath()));
        }
        QVERIFY(page.toast()->isHidden());
    }
};

QTEST_MAIN(TestPlayerWidget)
#include "tst_playerwidget.moc"
