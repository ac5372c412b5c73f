// The main window's full screen and maximise from the player page and the
// title bar: whichever way the window's state changes, the player page (its
// sidebar, the bar's full-screen button, Escape) says the same.
#include <QPushButton>
#include <QtTest>

#include "ControlBar.h"
#include "MainWindow.h"
#include "PlayerWidget.h"
#include "SidebarWidget.h"
#include "TitleBar.h"

namespace {

// The bar's full-screen button: the one whose tooltip speaks of full screen.
QPushButton* fullScreenButton(ControlBar* bar)
{
    for (QPushButton* b : bar->findChildren<QPushButton*>()) {
        if (b->toolTip() == QStringLiteral("全屏") || b->toolTip() == QStringLiteral("退出全屏")) {
            return b;
        }
    }
    return nullptr;
}

}  // namespace

class TestWindowState : public QObject
{
    Q_OBJECT

private slots:
    void maximiseFromFullScreenLeavesIt_data()
    {
        QTest::addColumn<bool>("doubleClick");
        QTest::addColumn<bool>("maximisedBefore");
        QTest::newRow("maximise button") << false << false;
        QTest::newRow("double-click on the title bar") << true << false;
        QTest::newRow("maximise button, maximised before") << false << true;
        QTest::newRow("double-click, maximised before") << true << true;
    }

    void maximiseFromFullScreenLeavesIt()
    {
        QFETCH(bool, doubleClick);
        QFETCH(bool, maximisedBefore);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        if (maximisedBefore) {
            window.showMaximized();
        }
        PlayerWidget* page = window.playerPage();
        SidebarWidget* sidebar = page->sidebar();
        QPushButton* fullScreen = fullScreenButton(page->controlBar());
        QVERIFY(fullScreen);
        const QColor sidebarColour(0x30, 0x42, 0x60);
        const auto sidebarShown = [&] {
            QCoreApplication::processEvents();
            const QImage shot = window.grab().toImage();
            // Right of the video, below the title bar and clear of the
            // sidebar's own contents.
            return shot.pixelColor(shot.width() - 8, shot.height() / 2) == sidebarColour;
        };
        QVERIFY(sidebarShown());

        fullScreen->click();
        QVERIFY(window.isFullScreen());
        QVERIFY(sidebar->isHidden());
        QVERIFY(!sidebarShown());
        QCOMPARE(fullScreen->toolTip(), QStringLiteral("退出全屏"));

        auto* titleBar = window.findChild<TitleBar*>();
        QVERIFY(titleBar);
        if (doubleClick) {
            QTest::mouseDClick(titleBar, Qt::LeftButton, {}, QPoint(titleBar->width() / 3, 20));
        } else {
            auto* maximise = titleBar->findChild<QPushButton*>(QStringLiteral("winMax"));
            QVERIFY(maximise);
            QTest::mouseClick(maximise, Qt::LeftButton);
        }
        QVERIFY(!window.isFullScreen());
        QVERIFY(window.isMaximized());
        QVERIFY(!page->isFullscreen());
        QVERIFY(sidebar->isVisible());
        QTRY_VERIFY(sidebarShown());
        QCOMPARE(fullScreen->toolTip(), QStringLiteral("全屏"));

        // Out of full screen, Escape is not the page's to take, and the bar's
        // button goes into full screen with one click again.
        QTest::keyClick(page, Qt::Key_Escape);
        QVERIFY(!window.isFullScreen());
        QVERIFY(window.isMaximized());
        fullScreen->click();
        QVERIFY(window.isFullScreen());
        QVERIFY(sidebar->isHidden());
        QTest::keyClick(page, Qt::Key_Escape);
        QVERIFY(!window.isFullScreen());
        QVERIFY(sidebar->isVisible());
    }
};

QTEST_MAIN(TestWindowState)
#include "tst_windowstate.moc"
