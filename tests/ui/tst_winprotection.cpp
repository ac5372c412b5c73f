// The screen protection's Windows side as the program calls it, on the real
// windows platform plugin: whatever the system grants or refuses, the
// answers the program words its notice by must be what is in force.
#include <QApplication>
#include <QWidget>
#include <QtTest>

#include "CaptureExclusion.h"
#include "HotkeyFilter.h"

// clang-format off
#include <windows.h>
// clang-format on

#ifndef WDA_EXCLUDEFROMCAPTURE
#define WDA_EXCLUDEFROMCAPTURE 0x00000011
#endif

class TestWinProtection : public QObject
{
    Q_OBJECT

private slots:
    void onTheWindowsPlatform()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("windows"));
    }

    void captureExclusionIsClaimedOnlyWhenHeld()
    {
        QWidget window;
        window.resize(320, 200);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const bool excluded = AntiPiracy::applyCaptureExclusion(&window);
        const DWORD error = excluded ? 0 : GetLastError();
        DWORD affinity = 0xffffffff;
        const bool known =
            GetWindowDisplayAffinity(reinterpret_cast<HWND>(window.winId()), &affinity) != FALSE;
        qInfo("capture exclusion: %s; the window's display affinity: %s",
              excluded ? "accepted" : qPrintable(QStringLiteral("refused (error %1)").arg(error)),
              known ? qPrintable(QStringLiteral("0x%1").arg(affinity, 0, 16)) : "unknown");
        if (excluded) {
            QVERIFY(known);
            QCOMPARE(affinity, DWORD(WDA_EXCLUDEFROMCAPTURE));
        }
        QVERIFY(!AntiPiracy::applyCaptureExclusion(nullptr));
    }

    void screenshotKeysAreClaimedOnlyWhenHeldAndSwallowed()
    {
        const AntiPiracy::HotkeyHold hold = AntiPiracy::installHotkeyFilter();
        qInfo("screenshot keys held: %s; refused: %s", qPrintable(hold.held.join(", ")),
              qPrintable(hold.refused.join(", ")));
        const bool held = hold.complete();
        // Only a combination nobody holds can be taken a second time.
        const bool printFree = RegisterHotKey(nullptr, 0x7f00, MOD_NOREPEAT, VK_SNAPSHOT) != FALSE;
        if (printFree) {
            UnregisterHotKey(nullptr, 0x7f00);
        }
        qInfo("screenshot keys: %s; PrintScreen %s to a second registration",
              held ? "all held" : "not all held", printFree ? "still open" : "closed");
        if (held) {
            QVERIFY(!printFree);
        }

        // A hotkey message reaching the GUI thread goes no further.
        const int before = AntiPiracy::swallowedKeyPresses();
        QVERIFY(PostThreadMessageW(GetCurrentThreadId(), WM_HOTKEY, 1, MAKELPARAM(0, VK_SNAPSHOT)));
        QTRY_COMPARE(AntiPiracy::swallowedKeyPresses(), before + 1);

        // Given back, the keys are anyone's again.
        AntiPiracy::removeHotkeyFilter();
        if (held) {
            QVERIFY(RegisterHotKey(nullptr, 0x7f01, MOD_NOREPEAT, VK_SNAPSHOT));
            UnregisterHotKey(nullptr, 0x7f01);
        }
    }
};

int main(int argc, char** argv)
{
    // The point is the real window system; the suite's default is offscreen.
    qputenv("QT_QPA_PLATFORM", "windows");
    QApplication app(argc, argv);
    TestWinProtection test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_winprotection.moc"
