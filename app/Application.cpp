#include "Application.h"

#include <QEventLoop>
#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QTimer>
#include <QTranslator>

#include "AppConfig.h"
#include "AuthManager.h"
#include "CaptureExclusion.h"
#include "ConfirmDialog.h"
#include "HotkeyFilter.h"
#include "LoginDialog.h"
#include "MainWindow.h"

namespace {

// %1 page background, %2 text, %3 tooltip background.
const char* const kStyle = R"(
QWidget { background-color: %1; color: %2; font-family: "Segoe UI"; font-size: 13px; }
QScrollBar:vertical { background: transparent; width: 4px; margin: 0; }
QScrollBar::handle:vertical { background: rgba(0,212,255,0.25); border-radius: 2px;
                              min-height: 20px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
QToolTip { background-color: %3; color: %2; border: 1px solid rgba(0,212,255,0.3);
           padding: 4px 8px; border-radius: 4px; }
)";

const char* const kNoticeShownKey = "antipiracy/noticeShown";

}  // namespace

Application::Application(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Veilcast"));
    setOrganizationName(QStringLiteral("Veilcast"));
    setApplicationVersion(QStringLiteral("1.2.2"));
    setStyleSheet(QString::fromLatin1(kStyle).arg(
        QStringLiteral("#2a3a55"), QStringLiteral("#eaf2ff"), QStringLiteral("#304260")));
    // Beside our Chinese texts, the few that Qt draws itself would otherwise
    // be English. The Windows folder carries them in translations/ (its
    // qt.conf says so); on Linux they are the distribution's.
    if (QTranslator* texts =
            loadQtTexts(QLibraryInfo::path(QLibraryInfo::TranslationsPath), this)) {
        installTranslator(texts);
    }
}

QTranslator* Application::loadQtTexts(const QString& directory, QObject* parent)
{
    auto* texts = new QTranslator(parent);
    // "qt" is the catalogue that pulls in qtbase's and qtmultimedia's.
    if (!texts->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qt"),
                     QStringLiteral("_"), directory)) {
        delete texts;
        return nullptr;
    }
    return texts;
}

Application::~Application()
{
    delete m_mainWindow;
}

int Application::run()
{
    m_hotkeysHeld = AntiPiracy::installHotkeyFilter();
    bool again = runSession(true);
    while (again) {
        again = runSession(false);
    }
    return 0;
}

bool Application::runSession(bool allowAutoLogin)
{
    delete m_mainWindow;
    m_mainWindow = new MainWindow;
    m_switchRequested = false;
    const bool captureExcluded = AntiPiracy::applyCaptureExclusion(m_mainWindow);

    AuthManager* auth = AuthManager::instance();
    connect(auth, &AuthManager::loginSucceeded, this, &Application::onLoginSucceeded,
            Qt::UniqueConnection);
    connect(m_mainWindow, &MainWindow::switchAccountRequested, this,
            &Application::onSwitchAccountRequested, Qt::UniqueConnection);

    bool loggedIn = false;
    if (allowAutoLogin && !AppConfig::instance()->token().isEmpty()) {
        // autoLogin answers one way or the other within its own time-out, so
        // this wait always ends; replies and timers keep running meanwhile.
        QEventLoop loop;
        bool answered = false;
        const auto succeeded = connect(
            auth, &AuthManager::loginSucceeded, &loop,
            [&loggedIn, &answered, &loop] {
                loggedIn = true;
                answered = true;
                loop.quit();
            },
            Qt::DirectConnection);
        const auto failed = connect(
            auth, &AuthManager::autoLoginFailed, &loop,
            [&answered, &loop] {
                answered = true;
                loop.quit();
            },
            Qt::DirectConnection);
        auth->autoLogin();
        // An answer given at once must not leave the loop waiting for another.
        if (!answered) {
            loop.exec();
        }
        disconnect(succeeded);
        disconnect(failed);
    }

    if (!loggedIn) {
        LoginDialog dialog;
        // Named for the desktop's window list; the card draws its own title.
        dialog.setWindowTitle(QStringLiteral("登录"));
        AntiPiracy::applyCaptureExclusion(&dialog);
        if (dialog.exec() != QDialog::Accepted) {
            return false;
        }
    }

    showNoticeOnce(captureExcluded);
    m_mainWindow->show();
    exec();
    return m_switchRequested;
}

void Application::showNoticeOnce(bool captureExcluded)
{
    QSettings settings(organizationName(), applicationName());
    if (settings.value(QLatin1String(kNoticeShownKey), false).toBool()) {
        return;
    }
    const QString title = QStringLiteral("防盗录保护已启用");
    ConfirmDialog notice(title, protectionNotice(captureExcluded, m_hotkeysHeld),
                         QStringLiteral("我知道了"), QString(), ConfirmDialog::Warning,
                         m_mainWindow);
    // Named like its title, so that the desktop's window list (and whoever
    // drives the program from outside) can tell it from other cards.
    notice.setWindowTitle(title);
    notice.exec();
    settings.setValue(QLatin1String(kNoticeShownKey), true);
}

QString Application::protectionNotice(bool captureExcluded, bool hotkeysHeld)
{
    QString text = QStringLiteral("为保护视频版权：\n");
    if (captureExcluded) {
        text += QStringLiteral("  • 播放画面无法被截屏或录屏工具捕获\n");
    }
    if (hotkeysHeld) {
#ifdef Q_OS_WIN
        text += QStringLiteral("  • 截图快捷键（PrintScreen、Win+Shift+S 等）已被拦截\n");
#else
        text += QStringLiteral("  • 截图快捷键（PrintScreen 等）已被拦截\n");
#endif
    }
    text += QStringLiteral("  • 视频画面会叠加溯源水印\n");
    if (!captureExcluded || !hotkeysHeld) {
        // Whatever the system does not allow is said, not silently left out:
        // the watermark is then the protection that remains.
        text += QStringLiteral("\n本系统不支持");
        if (!captureExcluded) {
            text += QStringLiteral("阻止截屏和录屏");
        }
        if (!captureExcluded && !hotkeysHeld) {
            text += QStringLiteral("及");
        }
        if (!hotkeysHeld) {
            text += QStringLiteral("拦截截图快捷键");
        }
        text += QStringLiteral("，水印仍可追溯画面来源。\n");
    }
    text += QStringLiteral("\n请勿尝试录制、转发、传播视频内容。");
    return text;
}

void Application::onLoginSucceeded()
{
    if (m_mainWindow) {
        m_mainWindow->setUser(AuthManager::instance()->currentUser());
    }
}

void Application::onSwitchAccountRequested()
{
    m_switchRequested = true;
    AuthManager::instance()->logout();
    QTimer::singleShot(0, m_mainWindow, &QWidget::close);
}
