// The frameless main window on the windows platform answers the system's
// hit-test itself: its edges and corners resize, its inside stays the
// client's, and a maximised window has nothing to resize. The message takes
// the real path, through Qt's window procedure into the window's
// nativeEvent.
#include <QApplication>
#include <QtTest>

#include "MainWindow.h"

// clang-format off
#include <windows.h>
// clang-format on

class TestWinHitTest : public QObject
{
    Q_OBJECT

    static LRESULT hitTest(HWND window, int x, int y)
    {
        return SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y));
    }

private slots:
    void onTheWindowsPlatform()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("windows"));
    }

    void edgesResizeAndTheInsideDoesNot()
    {
        MainWindow window;
        window.move(100, 80);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const HWND handle = reinterpret_cast<HWND>(window.winId());
        RECT r;
        QVERIFY(GetWindowRect(handle, &r));
        const int midX = (r.left + r.right) / 2;
        const int midY = (r.top + r.bottom) / 2;

        QCOMPARE(hitTest(handle, r.left + 1, midY), LRESULT(HTLEFT));
        QCOMPARE(hitTest(handle, r.right - 2, midY), LRESULT(HTRIGHT));
        QCOMPARE(hitTest(handle, midX, r.top + 1), LRESULT(HTTOP));
        QCOMPARE(hitTest(handle, midX, r.bottom - 2), LRESULT(HTBOTTOM));
        QCOMPARE(hitTest(handle, r.left, r.top), LRESULT(HTTOPLEFT));
        QCOMPARE(hitTest(handle, r.right - 1, r.top), LRESULT(HTTOPRIGHT));
        QCOMPARE(hitTest(handle, r.left, r.bottom - 1), LRESULT(HTBOTTOMLEFT));
        QCOMPARE(hitTest(handle, r.right - 1, r.bottom - 1), LRESULT(HTBOTTOMRIGHT));
        QCOMPARE(hitTest(handle, midX, midY), LRESULT(HTCLIENT));
        // Just inside the bands: the page's own.
        QCOMPARE(hitTest(handle, r.left + 6, midY), LRESULT(HTCLIENT));

        window.showMaximized();
        QTRY_VERIFY(IsZoomed(handle));
        QVERIFY(GetWindowRect(handle, &r));
        QCOMPARE(hitTest(handle, r.left + 1, (r.top + r.bottom) / 2), LRESULT(HTCLIENT));
    }
};

int main(int argc, char** argv)
{
    // The point is the real window system; the suite's default is offscreen.
    qputenv("QT_QPA_PLATFORM", "windows");
    QApplication app(argc, argv);
    TestWinHitTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_winhittest.moc"
