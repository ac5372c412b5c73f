// Auto-hide: the countdown after activity, the bar that stays under a
// resting cursor, and pausing that brings the bar back. The test plays the
// timer and the cursor itself.
#include <QTimer>
#include <QtTest>

#include "ControlBarManager.h"

namespace {

struct Page
{
    QWidget area;
    QWidget* bar;
    ControlBarManager manager;
    QPoint cursor;

    Page() : bar(new QWidget(&area)), manager(bar, &area)
    {
        area.resize(800, 400);
        bar->setGeometry(0, 320, 800, 80);
        bar->hide();
        area.show();
        (void)QTest::qWaitForWindowExposed(&area);
        cursor = area.mapToGlobal(QPoint(400, 100));  // over the picture, away from the bar
        manager.setCursorSource([this] { return cursor; });
    }
    QTimer* timer() const { return manager.hideTimer(); }
    // What the single-shot timer does when it fires.
    void expire()
    {
        QVERIFY(timer()->isActive());
        timer()->stop();
        manager.onHideTimeout();
    }
};

}  // namespace

class TstControlBarManager : public QObject
{
    Q_OBJECT

private slots:
    void hidesAfterQuietSpell()
    {
        Page p;
        QVERIFY(!p.timer()->isActive());
        p.manager.setAutoHide(true);
        QVERIFY(p.bar->isVisible());
        QVERIFY(p.timer()->isActive());
        QVERIFY(p.timer()->isSingleShot());
        QCOMPARE(p.timer()->interval(), 2500);

        p.expire();
        QVERIFY(!p.bar->isVisible());

        // The next movement brings it back and counts down afresh.
        p.manager.notifyActivity();
        QVERIFY(p.bar->isVisible());
        QVERIFY(p.timer()->isActive());

        // The countdown really ends in a hide: let the real timer run, shortened.
        p.timer()->setInterval(20);
        p.manager.notifyActivity();
        QTRY_VERIFY(!p.bar->isVisible());
    }

    void staysUnderRestingCursor()
    {
        Page p;
        p.manager.setAutoHide(true);
        p.cursor = p.bar->mapToGlobal(QPoint(400, 40));
        p.expire();
        QVERIFY(p.bar->isVisible());
        QVERIFY(!p.timer()->isActive());

        // Out and away: the leave restarts the countdown and it hides the bar.
        p.cursor = p.area.mapToGlobal(QPoint(400, -50));
        p.manager.notifyLeave();
        p.expire();
        QVERIFY(!p.bar->isVisible());
    }

    // Paused or stopped: the bar comes back at once and stays.
    void withoutAutoHideBarStays()
    {
        Page p;
        p.manager.setAutoHide(true);
        p.expire();
        QVERIFY(!p.bar->isVisible());
        p.manager.setAutoHide(false);
        QVERIFY(p.bar->isVisible());
        QVERIFY(!p.timer()->isActive());
        p.manager.notifyActivity();
        p.manager.notifyLeave();
        QVERIFY(!p.timer()->isActive());
        p.manager.onHideTimeout();  // a stale expiry changes nothing
        QVERIFY(p.bar->isVisible());
    }
};

QTEST_MAIN(TstControlBarManager)
#include "tst_controlbarmanager.moc"
