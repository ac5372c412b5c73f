#include "MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QVBoxLayout>
#include <QWindow>

#include "AuthManager.h"
#include "ConfirmDialog.h"
#include "DeviceIdentity.h"
#include "EdgeBands.h"
#include "EncryptorWidget.h"
#include "MediaPlayer.h"
#include "PlayerWidget.h"
#include "ScreenAwake.h"
#include "SettingsDialog.h"
#include "StatusBar.h"
#include "Theme.h"
#include "TitleBar.h"

#ifdef Q_OS_WIN
#include "WinEdgeHitTest.h"
#endif

namespace {

constexpr int kInitialWidth = 1200;
constexpr int kInitialHeight = 720;
// Small enough for a laptop beside another window, large enough for the
// player page with its sidebar and control bar.
constexpr int kMinimumWidth = 800;
constexpr int kMinimumHeight = 500;
constexpr int kTabBarHeight = 40;
constexpr int kTabHeight = 36;

const char* const kTabIndex = "tabIndex";

const char* const kStyle = R"(
QMainWindow, QWidget#centralWidget { background-color: {page}; }
#tabBar { background-color: {panel}; border-bottom: 1px solid {accentLine}; }
#tabActive { background-color: {page}; color: {accent}; border: 1px solid {accentLine};
             border-bottom: 1px solid {page}; border-radius: 6px 6px 0 0; font-size: 13px;
             padding: 0 20px; }
#tabInactive { background: none; border: none; color: {white@45}; font-size: 13px;
               padding: 0 20px; border-radius: 6px 6px 0 0; }
#tabInactive:hover { color: {text}; background: {white@5}; }
)";

Qt::Edges toQtEdges(unsigned bands)
{
    Qt::Edges edges;
    if (bands & EdgeBands::Left) {
        edges |= Qt::LeftEdge;
    }
    if (bands & EdgeBands::Right) {
        edges |= Qt::RightEdge;
    }
    if (bands & EdgeBands::Top) {
        edges |= Qt::TopEdge;
    }
    if (bands & EdgeBands::Bottom) {
        edges |= Qt::BottomEdge;
    }
    return edges;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground, false);
    setWindowTitle(QStringLiteral("影匣"));
    resize(kInitialWidth, kInitialHeight);
    setMinimumSize(kMinimumWidth, kMinimumHeight);

    m_centralWidget = new QWidget(this);
    m_centralWidget->setObjectName(QStringLiteral("centralWidget"));
    auto* layout = new QVBoxLayout(m_centralWidget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_titleBar = new TitleBar(m_centralWidget);
    layout->addWidget(m_titleBar);

    m_tabBar = new QWidget(m_centralWidget);
    m_tabBar->setObjectName(QStringLiteral("tabBar"));
    m_tabBar->setAttribute(Qt::WA_StyledBackground);
    m_tabBar->setFixedHeight(kTabBarHeight);
    m_tabBar->hide();
    auto* tabLayout = new QHBoxLayout(m_tabBar);
    tabLayout->setContentsMargins(16, 0, 0, 0);
    tabLayout->setSpacing(4);
    tabLayout->setAlignment(Qt::AlignBottom);
    const QString tabTexts[] = {QStringLiteral("播放器"), QStringLiteral("加密工具")};
    for (int i = 0; i < 2; ++i) {
        QPushButton* tab = Theme::pointerButton(
            tabTexts[i], m_tabBar,
            i == 0 ? QStringLiteral("tabActive") : QStringLiteral("tabInactive"));
        tab->setProperty(kTabIndex, i);
        tab->setCheckable(true);
        tab->setChecked(i == 0);
        tab->setFixedHeight(kTabHeight);
        tabLayout->addWidget(tab);
        connect(tab, &QPushButton::clicked, this, [this, i] { selectTab(i); });
    }
    tabLayout->addStretch();
    layout->addWidget(m_tabBar);

    m_stack = new QStackedWidget(m_centralWidget);
    m_playerPage = new PlayerWidget(m_stack);
    m_encryptionPage = new EncryptorWidget(m_stack);
    m_stack->addWidget(m_playerPage);
    m_stack->addWidget(m_encryptionPage);
    layout->addWidget(m_stack, 1);

    // A viewer watching a lecture touches nothing for an hour: while a video
    // plays the screen neither dims nor locks; paused or stopped, it may.
    m_screenAwake = new ScreenAwake(this);
    connect(m_playerPage->player(), &MediaPlayer::stateChanged, m_screenAwake,
            [this](PlayerState state) { m_screenAwake->setWanted(state == PlayerState::Playing); });

    m_statusBar = new StatusBar(m_centralWidget);
    layout->addWidget(m_statusBar);
    setCentralWidget(m_centralWidget);

    connect(m_titleBar, &TitleBar::minimizeClicked, this, &MainWindow::onMinimize);
    connect(m_titleBar, &TitleBar::maximizeClicked, this, &MainWindow::onMaximize);
    connect(m_titleBar, &TitleBar::closeClicked, this, &MainWindow::onClose);
    connect(m_titleBar, &TitleBar::settingsClicked, this, &MainWindow::openSettings);
    connect(m_statusBar, &StatusBar::switchAccountClicked, this, &MainWindow::onSwitchAccount);

#ifndef Q_OS_WIN
    // Elsewhere there is no hit-test to answer: presses in the edge bands are
    // caught on their way to whichever child lies under them and handed to
    // the desktop's resize loop.
    qApp->installEventFilter(this);
#endif

    setStyleSheet(Theme::fill(kStyle));
}

int MainWindow::currentPage() const
{
    return m_stack->currentIndex();
}

void MainWindow::setUser(const UserInfo& user)
{
    m_statusBar->setUser(user);
    m_titleBar->setMerchant(user.isMerchant);
    m_tabBar->setVisible(user.isMerchant);
    m_stack->setCurrentIndex(0);
    m_userId = user.userId;
    if (m_playerPage) {
        const QString name = user.displayName.isEmpty() ? user.username : user.displayName;
        m_playerPage->setViewer({name, DeviceIdentity::deviceId()});
    }
    if (m_playerPage && !m_userId.isEmpty()) {
        m_playerPage->loadPlaylist(m_userId);
    }
    emit userSet(m_userId);
}

void MainWindow::onTabChanged(int index)
{
    m_stack->setCurrentIndex(index);
}

void MainWindow::selectTab(int index)
{
    // Only merchants see the tabs; the page stays out of reach for others
    // even if a click were synthesised on the hidden row.
    if (!m_tabBar->isVisible()) {
        return;
    }
    onTabChanged(index);
    for (QPushButton* tab : m_tabBar->findChildren<QPushButton*>()) {
        tab->setObjectName(tab->property(kTabIndex).toInt() == index
                               ? QStringLiteral("tabActive")
                               : QStringLiteral("tabInactive"));
        tab->style()->unpolish(tab);
        tab->style()->polish(tab);
    }
}

void MainWindow::onMinimize()
{
    showMinimized();
}

void MainWindow::onMaximize()
{
    // Full screen over a maximised window still counts as maximised, but
    // asking to maximise from full screen means the maximised window, not
    // the normal one under it. showMaximized leaves full screen; the player
    // page follows the window's state by itself.
    if (isMaximized() && !isFullScreen()) {
        showNormal();
    } else {
        showMaximized();
    }
}

void MainWindow::openSettings()
{
    SettingsDialog dialog(this);
    dialog.exec();
}

void MainWindow::saveSession()
{
    if (m_playerPage && !m_userId.isEmpty()) {
        m_playerPage->savePosition();
        m_playerPage->savePlaylist(m_userId);
    }
}

QString MainWindow::interruptQuestion(const QString& action, const QStringList& unregistered)
{
    QString text = QStringLiteral(
                       "当前有视频正在加密或上传中，%1会中断这些任务：未完成的视频"
                       "不会生成加密文件，之后需要重新加密。")
                       .arg(action);
    if (!unregistered.isEmpty()) {
        // Named one by one, so the merchant knows which to start again; a
        // long batch is cut short rather than pushing the buttons off screen.
        text += QStringLiteral("\n\n以下视频的密钥尚未在服务器登记：");
        for (const QString& name : unregistered.mid(0, kNamedFiles)) {
            text += QStringLiteral("\n· ") + name;
        }
        if (unregistered.size() > kNamedFiles) {
            text += QStringLiteral("\n……共 %1 个").arg(unregistered.size());
        }
    }
    return text + QStringLiteral("\n\n确定继续？");
}

bool MainWindow::mayInterruptWork(const QString& title, const QString& action,
                                  const QString& okText)
{
    if (m_leaving || !m_encryptionPage || !m_encryptionPage->isBusy()) {
        return true;
    }
    const QString question = interruptQuestion(action, m_encryptionPage->unregisteredFiles());
    if (!ConfirmDialog::confirm(this, title, question, okText, QStringLiteral("留在当前"))) {
        return false;
    }
    // Running files stop at their next chunk and leave nothing behind; the
    // others never start. No container exists whose key is not registered,
    // so nothing written is lost.
    m_encryptionPage->cancelEncryption();
    return true;
}

void MainWindow::onSwitchAccount()
{
    if (!mayInterruptWork(QStringLiteral("切换账号"), QStringLiteral("切换账号"),
                          QStringLiteral("继续切换"))) {
        return;
    }
    m_leaving = true;
    saveSession();
    emit switchAccountRequested();
}

void MainWindow::onClose()
{
    if (!mayInterruptWork(QStringLiteral("关闭程序"), QStringLiteral("关闭程序"),
                          QStringLiteral("继续关闭"))) {
        return;
    }
    m_leaving = true;
    saveSession();
    AuthManager::instance()->logout();
    close();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!mayInterruptWork(QStringLiteral("关闭程序"), QStringLiteral("关闭程序"),
                          QStringLiteral("继续关闭"))) {
        event->ignore();
        return;
    }
    m_leaving = true;
    saveSession();
    // The closed window lives on, hidden, until the next session starts;
    // its sound must not go on under the login card meanwhile. Pausing
    // keeps the position just saved.
    if (m_playerPage && m_playerPage->player()->state() == PlayerState::Playing) {
        m_playerPage->player()->pause();
    }
    event->accept();
}

bool MainWindow::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
#ifdef Q_OS_WIN
    if (eventType == "windows_generic_MSG") {
        std::intptr_t code = 0;
        if (WinEdgeHitTest::handle(message, isFullScreen(), &code)) {
            *result = code;
            return true;
        }
    }
#endif
    return QMainWindow::nativeEvent(eventType, message, result);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::MouseButtonPress || !watched->isWidgetType()) {
        return false;
    }
    auto* widget = static_cast<QWidget*>(watched);
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (widget->window() != this || mouse->button() != Qt::LeftButton || isMaximized() ||
        isFullScreen() || windowHandle() == nullptr) {
        return false;
    }
    const QPoint pos = mapFromGlobal(mouse->globalPosition().toPoint());
    const unsigned bands = EdgeBands::bandsAt(pos.x(), pos.y(), width(), height());
    if (bands == EdgeBands::None) {
        return false;
    }
    // Where the desktop has no resize loop the press goes on to the child.
    return windowHandle()->startSystemResize(toQtEdges(bands));
}
