#include "Application.h"

#include <QDir>
#include <QEventLoop>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include "AppConfig.h"
#include "AuthManager.h"
#include "CaptureExclusion.h"
#include "ConfirmDialog.h"
#include "HotkeyFilter.h"
#include "LoginDialog.h"
#include "MainWindow.h"
#include "Theme.h"
#include "VeilcastVersion.h"

namespace {

const char* const kStyle = R"(
QWidget { background-color: {page}; color: {text}; font-family: "Segoe UI"; font-size: 13px; }
QScrollBar:vertical { background: transparent; width: 4px; margin: 0; }
QScrollBar::handle:vertical { background: {accentInfo}; border-radius: 2px;
                              min-height: 20px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
QToolTip { background-color: {panel}; color: {text}; border: 1px solid {accentOutline};
           padding: 4px 8px; border-radius: 4px; }
)";

}  // namespace

Application::Application(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Veilcast"));
    setOrganizationName(QStringLiteral("Veilcast"));
    setApplicationVersion(QString::fromLatin1(kVeilcastVersion));
    setStyleSheet(Theme::fill(kStyle));
    // Beside our Chinese texts, the few that Qt draws itself (the file
    // chooser, standard buttons, menus) would otherwise be English. A
    // translations folder beside the program comes first (the Windows folder
    // carries them there); an installed Qt keeps them in its own folder.
    const QStringList folders = {
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("translations")),
        QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    for (const QString& folder : folders) {
        if (QTranslator* texts = loadQtTexts(folder, this)) {
            installTranslator(texts);
            break;
        }
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
    const AntiPiracy::HotkeyHold hold = AntiPiracy::installHotkeyFilter();
    m_keysHeld = hold.held;
    m_keysRefused = hold.refused;
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
    emit windowCreated(m_mainWindow);
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
    if (AppConfig::instance()->protectionNoticeShown()) {
        return;
    }
    const QString title = QStringLiteral("防盗录保护已启用");
    ConfirmDialog notice(title, protectionNotice(captureExcluded, m_keysHeld, m_keysRefused),
                         QStringLiteral("我知道了"), QString(), ConfirmDialog::Warning,
                         m_mainWindow);
    // Named like its title, so that the desktop's window list (and whoever
    // drives the program from outside) can tell it from other cards.
    notice.setWindowTitle(title);
    notice.exec();
    AppConfig::instance()->setProtectionNoticeShown(true);
}

QString Application::protectionNotice(bool captureExcluded, const QStringList& keysHeld,
                                      const QStringList& keysRefused)
{
    const QString listSeparator = QStringLiteral("、");
    QString text = QStringLiteral("为保护视频版权：\n");
    if (captureExcluded) {
        text += QStringLiteral("  • 播放画面无法被截屏或录屏工具捕获\n");
    }
    if (!keysHeld.isEmpty() && keysRefused.isEmpty()) {
#ifdef Q_OS_WIN
        text += QStringLiteral("  • 截图快捷键（PrintScreen、Win+Shift+S 等）已被拦截\n");
#else
        text += QStringLiteral("  • 截图快捷键（PrintScreen 等）已被拦截\n");
#endif
    } else if (!keysHeld.isEmpty()) {
        // Some are held by another program: the ones held here are named,
        // since "and so on" would claim those others too.
        text += QStringLiteral("  • 截图快捷键 %1 已被拦截\n").arg(keysHeld.join(listSeparator));
    }
    text += QStringLiteral("  • 视频画面会叠加溯源水印\n");

    // Whatever is not in force is said, not silently left out: the watermark
    // is then the protection that remains.
    QStringList unsupported;
    if (!captureExcluded) {
        unsupported.append(QStringLiteral("阻止截屏和录屏"));
    }
    if (keysHeld.isEmpty() && keysRefused.isEmpty()) {
        unsupported.append(QStringLiteral("拦截截图快捷键"));
    }
    QStringList gaps;
    if (!unsupported.isEmpty()) {
        gaps.append(QStringLiteral("本系统不支持") + unsupported.join(QStringLiteral("及")));
    }
    if (!keysRefused.isEmpty()) {
        gaps.append(QStringLiteral("截图快捷键 %1 未能拦截（可能已被其他程序占用）")
                        .arg(keysRefused.join(listSeparator)));
    }
    if (!gaps.isEmpty()) {
        text += QStringLiteral("\n") + gaps.join(QStringLiteral("；")) +
                QStringLiteral("，水印仍可追溯画面来源。\n");
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
