// The transport strip: click-to-seek and the time bubble, a dead slider
// without a duration, the handle the user holds, the speed menu and labels,
// icons that really change with the state, and the fading background.
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QtTest>

#include "ControlBar.h"
#include "SeekSlider.h"

namespace {

constexpr qint64 kTenMinutes = 600000;

// The video area the bar floats in, sized like the player page sizes it.
struct BarInArea
{
    QWidget area;
    ControlBar* bar;
    SeekSlider* slider;

    BarInArea()
    {
        area.resize(800, 400);
        bar = new ControlBar(&area);
        bar->setGeometry(0, 320, 800, 80);
        slider = bar->findChild<SeekSlider*>("progressSlider");
        area.show();
        (void)QTest::qWaitForWindowExposed(&area);
    }
    QLabel* timeLabel() const { return bar->findChild<QLabel*>("timeLabel"); }
    QPushButton* speedButton() const { return bar->findChild<QPushButton*>("speedBtn"); }
    QPushButton* ctrlButton(int index) const
    {
        // previous, next, volume, screenshot, fullscreen in layout order
        return bar->findChildren<QPushButton*>("ctrlBtn").value(index);
    }
};

void mouse(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent e(type, QPointF(at), QPointF(w->mapToGlobal(at)), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

int alphaAt(const QIcon& icon, int size, QPoint p)
{
    return icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32).pixelColor(p).alpha();
}

// What a menu behind a button offered: its checkable entries, the ticked
// ones, and where it stood.
struct MenuSeen
{
    QStringList titles;  // entries that name a part of the menu
    QStringList shown;
    QStringList checked;
    QRect rect;
};

// Clicks the button, notes the menu that opens, triggers the entry of that
// text (none for an empty one) and closes the menu.
MenuSeen pickInMenu(QPushButton* button, const QString& entry)
{
    MenuSeen seen;
    QTimer::singleShot(0, [&seen, entry] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) {
            return;
        }
        seen.rect = menu->geometry();
        for (QAction* a : menu->actions()) {
            if (!a->isCheckable()) {
                // A title must be an entry of its own: a separator's text
                // is not drawn by every style.
                if (!a->isSeparator() && !a->isEnabled()) {
                    seen.titles << a->text();
                }
                continue;
            }
            seen.shown << a->text();
            if (a->isChecked()) {
                seen.checked << a->text();
            }
        }
        for (QAction* a : menu->actions()) {
            if (a->isCheckable() && a->text() == entry) {
                a->trigger();
            }
        }
        menu->close();
    });
    button->click();
    return seen;
}

}  // namespace

class TstControlBar : public QObject
{
    Q_OBJECT

private slots:
    // The time label and its rule: minutes never fold into hours.
    void timeLabel_data()
    {
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<qint64>("position");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing loaded") << qint64(0) << qint64(0) << "00:00 / 00:00";
        QTest::newRow("ten minutes") << kTenMinutes << qint64(59999) << "00:59 / 10:00";
        QTest::newRow("past an hour") << qint64(3725000) << qint64(3725000) << "62:05 / 62:05";
        QTest::newRow("three minute digits")
            << qint64(6000000) << qint64(61000) << "01:01 / 100:00";
        QTest::newRow("negative position") << kTenMinutes << qint64(-4000) << "00:00 / 10:00";
    }
    void timeLabel()
    {
        QFETCH(qint64, duration);
        QFETCH(qint64, position);
        QFETCH(QString, expected);
        ControlBar bar;
        QCOMPARE(bar.findChild<QLabel*>("timeLabel")->text(), QStringLiteral("00:00 / 00:00"));
        bar.setDuration(duration);
        bar.setPosition(position);
        QCOMPARE(bar.findChild<QLabel*>("timeLabel")->text(), expected);
    }

    // A click in the middle seeks to half the duration; the bubble there
    // reads that time. Without a duration the handle moves but nothing seeks
    // and no bubble appears.
    void clickSeeksAndBubble_data()
    {
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<int>("seeks");
        QTest::addColumn<QString>("bubble");
        QTest::newRow("ten minutes") << kTenMinutes << 1 << "05:00";
        QTest::newRow("no duration") << qint64(0) << 0 << "";
        QTest::newRow("negative duration") << qint64(-1) << 0 << "";
    }
    void clickSeeksAndBubble()
    {
        QFETCH(qint64, duration);
        QFETCH(int, seeks);
        QFETCH(QString, bubble);
        BarInArea f;
        f.bar->setDuration(duration);
        QVERIFY(f.slider->width() % 2 == 0);
        QSignalSpy seek(f.bar, &ControlBar::seekRequested);
        const QPoint middle(f.slider->width() / 2, f.slider->height() / 2);
        mouse(f.slider, QEvent::MouseMove, middle, Qt::NoButton, Qt::NoButton);
        mouse(f.slider, QEvent::MouseButtonPress, middle, Qt::LeftButton, Qt::LeftButton);
        mouse(f.slider, QEvent::MouseButtonRelease, middle, Qt::LeftButton, Qt::NoButton);
        QCOMPARE(f.slider->value(), 500);
        QCOMPARE(seek.count(), seeks);
        if (seeks) {
            QCOMPARE(seek.first().first().toLongLong(), duration / 2);
        }
        QLabel* tip = f.slider->bubble();
        QVERIFY(tip);
        // The bubble floats in the video area, not inside the bar.
        QCOMPARE(tip->parentWidget(), &f.area);
        QCOMPARE(tip->isVisible(), !bubble.isEmpty());
        if (!bubble.isEmpty()) {
            QCOMPARE(tip->text(), bubble);
            QVERIFY(tip->geometry().bottom() <= f.bar->geometry().top() + 8);
        }
        // Leaving the slider takes the bubble away.
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(f.slider, &leave);
        QVERIFY(!tip->isVisible());
    }

    // Only the left button jumps; the bubble stays inside its area at both ends.
    void otherButtonsAndEdges()
    {
        BarInArea f;
        f.bar->setDuration(kTenMinutes);
        QSignalSpy seek(f.bar, &ControlBar::seekRequested);
        const int y = f.slider->height() / 2;
        mouse(f.slider, QEvent::MouseButtonPress, QPoint(f.slider->width() / 4, y), Qt::RightButton,
              Qt::RightButton);
        QCOMPARE(seek.count(), 0);

        mouse(f.slider, QEvent::MouseMove, QPoint(0, y), Qt::NoButton, Qt::NoButton);
        QLabel* tip = f.slider->bubble();
        QCOMPARE(tip->text(), QStringLiteral("00:00"));
        QVERIFY(tip->x() >= 4);
        mouse(f.slider, QEvent::MouseMove, QPoint(f.slider->width(), y), Qt::NoButton,
              Qt::NoButton);
        QCOMPARE(tip->text(), QStringLiteral("10:00"));
        QVERIFY(tip->geometry().right() < f.area.width() - 4);
    }

    // While the user holds the handle, playback does not pull it back, but
    // the label keeps following; dragging previews (fast seeks), letting go
    // seeks exactly where the handle is.
    void heldHandle()
    {
        BarInArea f;
        f.bar->setDuration(kTenMinutes);
        QSignalSpy seek(f.bar, &ControlBar::seekRequested);
        QSignalSpy preview(f.bar, &ControlBar::seekPreviewRequested);
        f.slider->setSliderDown(true);
        f.slider->setSliderPosition(200);
        f.slider->setSliderPosition(250);
        QCOMPARE(seek.count(), 0);
        QCOMPARE(preview.count(), 2);
        QCOMPARE(preview.last().first().toLongLong(), qint64(150000));

        f.bar->setPosition(300000);
        QCOMPARE(f.slider->value(), 250);
        QCOMPARE(f.timeLabel()->text(), QStringLiteral("05:00 / 10:00"));

        f.slider->setSliderDown(false);
        QCOMPARE(seek.count(), 1);
        QCOMPARE(seek.first().first().toLongLong(), qint64(150000));
        f.bar->setPosition(300000);
        QCOMPARE(f.slider->value(), 500);

        // Without a duration, dragging seeks nowhere and the handle stays put.
        f.bar->setDuration(0);
        seek.clear();
        f.slider->setSliderDown(true);
        f.slider->setSliderPosition(700);
        f.slider->setSliderDown(false);
        QCOMPARE(seek.count(), 0);
        f.bar->setPosition(100000);
        QCOMPARE(f.slider->value(), 700);
    }

    void speedLabels_data()
    {
        QTest::addColumn<double>("speed");
        QTest::addColumn<QString>("label");
        QTest::newRow("normal") << 1.0 << "1.0x";
        QTest::newRow("double") << 2.0 << "2.0x";
        QTest::newRow("quarter steps") << 1.25 << "1.25x";
        QTest::newRow("slow") << 0.75 << "0.75x";
        QTest::newRow("not on the menu") << 1.1 << "1.1x";
        QTest::newRow("whole number") << 3.0 << "3x";
    }
    void speedLabels()
    {
        QFETCH(double, speed);
        QFETCH(QString, label);
        ControlBar bar;
        QSignalSpy changed(&bar, &ControlBar::speedChanged);
        bar.onSpeedMenuPick(speed);
        bar.onSpeedMenuPick(speed);  // the same pick again still tells the player
        QCOMPARE(bar.findChild<QPushButton*>("speedBtn")->text(), label);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.last().first().toDouble(), speed);
        QCOMPARE(bar.speed(), speed);
    }

    // The menu ticks the current speed, sits above its button, and a pick
    // reaches the player.
    void speedMenu()
    {
        BarInArea f;
        QSignalSpy changed(f.bar, &ControlBar::speedChanged);
        MenuSeen seen = pickInMenu(f.speedButton(), QStringLiteral("1.25x"));
        // The current speed is the checked entry; the labels stay as they are.
        QCOMPARE(seen.shown, QStringList({"0.5x", "0.75x", "1.0x", "1.25x", "1.5x", "2.0x"}));
        QCOMPARE(seen.checked, QStringList({"1.0x"}));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.first().first().toDouble(), 1.25);
        QCOMPARE(f.speedButton()->text(), QStringLiteral("1.25x"));
        const QRect button(f.speedButton()->mapToGlobal(QPoint(0, 0)), f.speedButton()->size());
        QVERIFY(seen.rect.bottom() < button.top());

        seen = pickInMenu(f.speedButton(), QStringLiteral("0.5x"));
        QCOMPARE(seen.checked, QStringList({"1.25x"}));
        QCOMPARE(changed.last().first().toDouble(), 0.5);
    }

    // Icons follow the state the page sets, never a click alone.
    void iconsFollowState()
    {
        BarInArea f;
        auto* play = f.bar->findChild<QPushButton*>("playBtn");
        // View box (7,12) lies in the pause bars but left of the play triangle.
        const QPoint leftOfTriangle(5, 9);
        QCOMPARE(alphaAt(play->icon(), 18, leftOfTriangle), 0);
        QSignalSpy clicked(f.bar, &ControlBar::playPauseClicked);
        play->click();
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(alphaAt(play->icon(), 18, leftOfTriangle), 0);
        f.bar->setPlaying(true);
        QVERIFY(alphaAt(play->icon(), 18, leftOfTriangle) > 200);
        f.bar->setPlaying(false);
        QCOMPARE(alphaAt(play->icon(), 18, leftOfTriangle), 0);

        // Previous and next fade to alpha 40 when not possible, and stay silent.
        QPushButton* prev = f.ctrlButton(0);
        QPushButton* next = f.ctrlButton(1);
        const QPoint inPrevBar(5, 10);   // view box (6.0..7.2, 12..13.2): the bar at x 6..8
        const QPoint inNextBar(14, 10);  // view box (16.8..18, 12..13.2): the bar at x 16..18
        QVERIFY(qAbs(alphaAt(prev->icon(), 20, inPrevBar) - 179) <= 3);
        QSignalSpy prevSpy(f.bar, &ControlBar::prevClicked);
        QSignalSpy nextSpy(f.bar, &ControlBar::nextClicked);
        f.bar->setPrevEnabled(false);
        f.bar->setNextEnabled(false);
        QVERIFY(qAbs(alphaAt(prev->icon(), 20, inPrevBar) - 40) <= 3);
        QVERIFY(qAbs(alphaAt(next->icon(), 20, inNextBar) - 40) <= 3);
        QTest::mouseClick(prev, Qt::LeftButton);
        QTest::mouseClick(next, Qt::LeftButton);
        QCOMPARE(prevSpy.count() + nextSpy.count(), 0);
        f.bar->setPrevEnabled(true);
        QTest::mouseClick(prev, Qt::LeftButton);
        QCOMPARE(prevSpy.count(), 1);

        QPushButton* full = f.ctrlButton(4);
        QCOMPARE(full->toolTip(), QStringLiteral("全屏"));
        const QImage enter = full->icon().pixmap(20).toImage();
        f.bar->setFullscreen(true);
        QCOMPARE(full->toolTip(), QStringLiteral("退出全屏"));
        QVERIFY(full->icon().pixmap(20).toImage() != enter);
        QCOMPARE(f.ctrlButton(3)->toolTip(), QStringLiteral("截图"));
    }

    // Chapters: a mark where each starts (none at the very start), and the
    // bubble names the chapter under the pointer.
    void chapterMarksAndNames()
    {
        BarInArea f;
        f.bar->setDuration(12000);
        const auto column = [&](const QImage& img, int x) {
            QList<QRgb> px;
            for (int y = 0; y < img.height(); ++y) {
                px << img.pixel(x, y);
            }
            return px;
        };
        const QImage plain = f.slider->grab().toImage();
        f.bar->setChapters({{0, QStringLiteral("开场")},
                            {8000, QStringLiteral("<b>小结</b>")},
                            {4000, QString()}});
        const QImage marked = f.slider->grab().toImage();
        const int dpr = qRound(marked.devicePixelRatio());
        for (qint64 at : {4000, 8000}) {
            const int x = f.slider->xForTime(at) * dpr;
            QVERIFY2(column(marked, x) != column(plain, x), qPrintable(QString::number(at)));
        }
        // Away from the marks, and at the start, the bar is as it was.
        for (qint64 at : {0, 2000, 6000, 10000}) {
            const int x = f.slider->xForTime(at) * dpr + (at == 0 ? 1 : 0);
            QVERIFY2(column(marked, x) == column(plain, x), qPrintable(QString::number(at)));
        }

        QCOMPARE(f.slider->bubbleText(1000), QStringLiteral("00:01  开场"));
        QCOMPARE(f.slider->bubbleText(5000), QStringLiteral("00:05"));  // untitled
        // A title is text, shown as it is written.
        QCOMPARE(f.slider->bubbleText(9000), QStringLiteral("00:09  <b>小结</b>"));
        QCOMPARE(f.slider->bubble() ? f.slider->bubble()->textFormat() : Qt::PlainText,
                 Qt::PlainText);
        f.bar->setChapters({});
        QCOMPARE(f.slider->bubbleText(9000), QStringLiteral("00:09"));
        QVERIFY(f.slider->grab().toImage() == plain);
    }

    // The sound track menu: offered only when there is a choice, the track
    // playing checked, names as written, a pick of another one emitted.
    void soundTrackMenu()
    {
        BarInArea f;
        QPushButton* tracks = f.bar->tracksButton();
        QVERIFY(tracks->isHidden());
        f.bar->setAudioTracks({{1, QStringLiteral("eng")}}, 1);
        QVERIFY(tracks->isHidden());
        f.bar->setAudioTracks(
            {{1, QStringLiteral("eng")}, {2, QStringLiteral("普通话 & 粤语 (chi)")}}, 1);
        QVERIFY(!tracks->isHidden());
        // It looks like the bar's other buttons: its note drawn light on the bar.
        const QImage look = tracks->grab().toImage();
        int light = 0;
        for (int y = 0; y < look.height(); ++y) {
            for (int x = 0; x < look.width(); ++x) {
                light += qGray(look.pixel(x, y)) > 150 ? 1 : 0;
            }
        }
        QVERIFY2(light > 20, qPrintable(QString::number(light)));
        QCOMPARE(tracks->size(), f.ctrlButton(0)->size());

        QSignalSpy chosen(f.bar, &ControlBar::audioTrackChosen);
        MenuSeen seen =
            pickInMenu(tracks, QStringLiteral("eng"));  // the one playing: nothing to do
        QCOMPARE(seen.titles, QStringList({"音轨"}));
        QCOMPARE(seen.shown, QStringList({"eng", "普通话 && 粤语 (chi)"}));
        QCOMPARE(seen.checked, QStringList({"eng"}));
        QCOMPARE(chosen.count(), 0);
        pickInMenu(tracks, QStringLiteral("普通话 && 粤语 (chi)"));
        QCOMPARE(chosen.count(), 1);
        QCOMPARE(chosen.first().first().toInt(), 2);
        seen = pickInMenu(tracks, QString());
        QCOMPARE(seen.checked, QStringList({"普通话 && 粤语 (chi)"}));

        f.bar->setAudioTracks({}, -1);  // a file with one sound or none
        QVERIFY(tracks->isHidden());
    }

    // Subtitle tracks alone bring the button; "关闭字幕" is ticked while none
    // shows, and each choice is said once; with sound tracks too, each part
    // of the menu is named.
    void subtitleTrackMenu()
    {
        BarInArea f;
        QPushButton* tracks = f.bar->tracksButton();
        f.bar->setSubtitleTracks(
            {{3, QStringLiteral("中文 (chi)")}, {4, QStringLiteral("English")}}, -1);
        QVERIFY(!tracks->isHidden());
        QSignalSpy chosen(f.bar, &ControlBar::subtitleTrackChosen);
        MenuSeen seen = pickInMenu(tracks, QStringLiteral("English"));
        QCOMPARE(seen.titles, QStringList({"字幕"}));
        QCOMPARE(seen.shown, QStringList({"关闭字幕", "中文 (chi)", "English"}));
        QCOMPARE(seen.checked, QStringList({"关闭字幕"}));
        QCOMPARE(chosen.count(), 1);
        QCOMPARE(chosen.takeFirst().first().toInt(), 4);
        seen = pickInMenu(tracks, QStringLiteral("关闭字幕"));
        QCOMPARE(seen.checked, QStringList({"English"}));
        QCOMPARE(chosen.count(), 1);
        QCOMPARE(chosen.takeFirst().first().toInt(), -1);

        f.bar->setAudioTracks({{1, QStringLiteral("eng")}, {2, QStringLiteral("chi")}}, 1);
        seen = pickInMenu(tracks, QString());
        QCOMPARE(seen.titles, QStringList({"音轨", "字幕"}));
        QCOMPARE(seen.checked, QStringList({"eng", "关闭字幕"}));
        f.bar->setAudioTracks({}, -1);
        f.bar->setSubtitleTracks({}, -1);
        QVERIFY(tracks->isHidden());
    }

    // The bar fades into the picture at its top and is solid below.
    void background()
    {
        QWidget area;
        area.resize(300, 200);
        area.setAutoFillBackground(true);
        QPalette red;
        red.setColor(QPalette::Window, Qt::red);
        area.setPalette(red);
        auto* bar = new ControlBar(&area);
        bar->setGeometry(0, 120, 300, 80);
        const QImage shot = area.grab().toImage();
        const QColor top = shot.pixelColor(150, 120);
        const QColor body = shot.pixelColor(150, 198);
        QVERIFY2(top.red() > 200 && top.green() < 40, qPrintable(top.name()));
        QCOMPARE(body.name(), QStringLiteral("#0a0f1a"));
    }
};

QTEST_MAIN(TstControlBar)
#include "tst_controlbar.moc"
