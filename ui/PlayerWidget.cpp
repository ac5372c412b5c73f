#include "PlayerWidget.h"

#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "AppConfig.h"
#include "ConfirmDialog.h"
#include "ContainerCheck.h"
#include "ControlBar.h"
#include "ControlBarManager.h"
#include "KeyManager.h"
#include "MediaPlayer.h"
#include "OverlayContainer.h"
#include "PlainLabel.h"
#include "PlaybackService.h"
#include "PlaylistDelegate.h"
#include "PlaylistModel.h"
#include "ScreenshotService.h"
#include "SidebarWidget.h"
#include "SvgIcon.h"
#include "Theme.h"
#include "VideoRenderer.h"
#include "Watermark.h"

namespace {

const QString kContainerSuffix = QStringLiteral(".vcz");
const QString kOkText = QStringLiteral("我知道了");
const QString kNotContainer = QStringLiteral("这不是合法的加密视频（.vcz）文件。");

// A circular arrow, drawn white on the dimmed last picture.
const QString kReplayIcon =
    QStringLiteral(R"(<path d="M12 5V1L7 6l5 5V7c3.31 0 6 2.69 6 6s-2.69 6-6 6-6-2.69-6-6H4)"
                   R"(c0 4.42 3.58 8 8 8s8-3.58 8-8-3.58-8-8-8z"/>)");

const char* const kReplayButtonStyle =
    "#replayBtn { background: {white@12}; border: 2px solid {white@75};"
    " border-radius: 36px; }"
    "#replayBtn:hover { background: {white@22}; border-color: {white}; }"
    "#replayBtn:pressed { background: {white@8}; }";

const char* const kToastStyle =
    "#shotToast { background: {ink@92}; border: 1px solid {accentCallout};"
    " border-radius: 8px; color: {text}; text-align: left; padding: 8px; font-size: 12px; }"
    "#shotToast:hover { border-color: {accent}; background: {ink@96}; }";

// A card names this many refused files; a larger drop gets a count of the rest.
constexpr int kRefusalsListed = 12;

// The toast sits 16 px from the right edge and 92 px above the bottom, clear
// of the control bar; its text needs 120 px beside the thumbnail.
constexpr int kToastTextWidth = 120;
constexpr int kToastRightRoom = 136;
constexpr int kToastBottomRoom = 92;
constexpr int kToastMinHeight = 62;
constexpr int kToastPadding = 16;
constexpr int kToastMargin = 12;

}  // namespace

PlayerWidget::PlayerWidget(QWidget* parent) : QWidget(parent)
{
    setAcceptDrops(true);
    setFocusPolicy(Qt::StrongFocus);

    m_player = new MediaPlayer(this);
    m_keyManager = new KeyManager(nullptr, nullptr, this);
    buildLayout();
    m_service = new PlaybackService(m_player, m_keyManager, this);
    m_service->setPlaylistModel(m_sidebar->model());
    m_screenshots = new ScreenshotService(this);
    connectAll();
    m_controlBarManager = new ControlBarManager(m_controlBar, m_videoContainer, this);
    watchWindow();

    // Sound and speed start as the user left them in the last run.
    const AppConfig* config = AppConfig::instance();
    m_controlBar->setVolume(config->volume());
    m_controlBar->setMuted(config->muted());
    m_controlBar->setSpeed(config->speed());
    m_service->setVolume(m_controlBar->volume());
    m_service->setMuted(m_controlBar->isMuted());
    m_service->setSpeed(m_controlBar->speed());

    // A drag of the volume bar is a hundred changes; the store gets the
    // level it ends at.
    m_volumeSaveTimer = new QTimer(this);
    m_volumeSaveTimer->setSingleShot(true);
    m_volumeSaveTimer->setInterval(kVolumeSaveDelayMs);
    connect(m_volumeSaveTimer, &QTimer::timeout, this,
            [this] { AppConfig::instance()->setVolume(m_controlBar->volume()); });
}

PlayerWidget::~PlayerWidget()
{
    // The children go after this body, when this page is only a QWidget any
    // more: nothing they emit while they wind down (the player's last state,
    // the model's rows) may reach the page's slots.
    m_autoSave = false;
    if (m_volumeSaveTimer->isActive()) {
        AppConfig::instance()->setVolume(m_controlBar->volume());
    }
    const QList<QObject*> sources{m_player,     m_service, m_screenshots,
                                  m_controlBar, m_sidebar, m_sidebar->model()};
    for (QObject* source : sources) {
        disconnect(source, nullptr, this, nullptr);
    }
}

void PlayerWidget::buildLayout()
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);

    m_videoContainer = new OverlayContainer(this);
    m_videoContainer->setObjectName(QStringLiteral("videoContainer"));
    m_videoContainer->setAttribute(Qt::WA_StyledBackground);
    m_videoContainer->setStyleSheet(Theme::fill("background-color: {ink};"));
    m_videoContainer->setMouseTracking(true);
    m_videoContainer->installEventFilter(this);

    m_videoRenderer = new VideoRenderer(m_videoContainer);
    m_videoRenderer->setMouseTracking(true);
    m_videoRenderer->installEventFilter(this);
    connect(m_player, &MediaPlayer::videoFrameReady, m_videoRenderer, &VideoRenderer::onVideoFrame);
    m_videoContainer->addLayer(m_videoRenderer);

    m_emptyState = buildEmptyState();
    m_videoContainer->addLayer(m_emptyState);
    m_replayOverlay = buildReplayOverlay();
    m_videoContainer->addLayer(m_replayOverlay);
    m_watermark = new AntiPiracy::Watermark(m_videoContainer);
    m_watermark->hide();
    m_videoContainer->addLayer(m_watermark);

    m_controlBar = new ControlBar(m_videoContainer);
    // The keys, where a viewer looking for them hovers: the bar's free space.
    m_controlBar->setToolTip(QStringLiteral(
        "快捷键：空格 播放/暂停　←/→ 快退/快进 10 秒　↑/↓ 音量 ±5%　M 静音\n"
        "F 全屏　Esc 退出全屏　[ / ] 减速/加速　PgUp/PgDn 上一章/下一章　V 字幕　, / . "
        "暂停时逐帧后退/前进"));
    m_controlBar->hide();
    m_controlBar->setMouseTracking(true);
    m_controlBar->installEventFilter(this);

    m_sidebar = new SidebarWidget(this);
    row->addWidget(m_videoContainer, 1);
    row->addWidget(m_sidebar, 0);
}

QWidget* PlayerWidget::buildEmptyState()
{
    auto* empty = new QWidget(m_videoContainer);
    auto* column = new QVBoxLayout(empty);
    column->setAlignment(Qt::AlignCenter);

    auto* icon = new QLabel(empty);
    icon->setObjectName(QStringLiteral("emptyIcon"));
    icon->setFixedSize(kEmptyIconSize, kEmptyIconSize);
    icon->setCursor(Qt::PointingHandCursor);
    icon->setPixmap(
        QPixmap(QStringLiteral(":/logo.svg"))
            .scaled(kEmptyIconSize, kEmptyIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    icon->installEventFilter(this);
    column->addWidget(icon, 0, Qt::AlignHCenter);
    column->addSpacing(12);

    QLabel* hint =
        plainLabel(QStringLiteral("拖入 .vcz 文件开始播放\n或点击上方图标选择文件"), empty);
    hint->setAlignment(Qt::AlignCenter);
    hint->setStyleSheet(Theme::fill("font-size:12px;color:{white@35};"));
    column->addWidget(hint, 0, Qt::AlignHCenter);
    return empty;
}

QWidget* PlayerWidget::buildReplayOverlay()
{
    auto* overlay = new QWidget(m_videoContainer);
    overlay->setAttribute(Qt::WA_StyledBackground);
    overlay->setStyleSheet(Theme::fill("background-color: {black@35};"));
    overlay->hide();

    auto* column = new QVBoxLayout(overlay);
    column->setAlignment(Qt::AlignCenter);
    column->setSpacing(14);
    column->setContentsMargins(0, 0, 0, 0);

    m_replayButton = Theme::pointerButton(QString(), overlay, QStringLiteral("replayBtn"));
    m_replayButton->setFixedSize(kReplayButtonSize, kReplayButtonSize);
    m_replayButton->setIcon(
        SvgIcon::icon(kReplayIcon, Theme::color(QStringLiteral("white")), kReplayIconSize));
    m_replayButton->setIconSize(QSize(kReplayIconSize, kReplayIconSize));
    m_replayButton->setStyleSheet(Theme::fill(kReplayButtonStyle));
    column->addWidget(m_replayButton, 0, Qt::AlignHCenter);

    QLabel* caption = plainLabel(QStringLiteral("重新播放"), overlay);
    caption->setAlignment(Qt::AlignCenter);
    caption->setStyleSheet(
        Theme::fill("font-size:13px;color:{white@85};background:transparent;letter-spacing:2px;"));
    column->addWidget(caption, 0, Qt::AlignHCenter);
    return overlay;
}

void PlayerWidget::connectAll()
{
    connect(m_screenshots, &ScreenshotService::captured, this, &PlayerWidget::showToast);
    // Cards open on the next turn of the event loop: the emitter (the player
    // in the middle of an open, the key manager's reply handler) finishes
    // first and is never re-entered from the card's own event loop.
    connect(
        m_screenshots, &ScreenshotService::failed, this,
        [this](const QString& reason) { showWarning(QStringLiteral("截图"), reason); },
        Qt::QueuedConnection);
    connect(m_replayButton, &QPushButton::clicked, m_service, &PlaybackService::replay);
    connect(m_player, &MediaPlayer::stateChanged, this, &PlayerWidget::onPlayerStateChanged);
    connect(m_player, &MediaPlayer::positionChanged, this, &PlayerWidget::onPositionChanged);
    connect(m_player, &MediaPlayer::durationChanged, this, &PlayerWidget::onDurationChanged);
    connect(m_player, &MediaPlayer::mediaInfoChanged, this, &PlayerWidget::showMediaInfo);
    connect(m_controlBar, &ControlBar::subtitleTrackChosen, this, &PlayerWidget::showSubtitles);
    // Subtitles lie on the picture, under the watermark that covers both.
    m_videoRenderer->setOverlaySource(
        [this](const QSize& shown) { return m_player->subtitleImage(shown); });
    connect(m_player, &MediaPlayer::subtitlesChanged, m_videoRenderer,
            qOverload<>(&QWidget::update));
    connect(m_controlBar, &ControlBar::audioTrackChosen, this, [this](int stream) {
        if (!m_service->setAudioTrack(stream)) {
            // The file changed under the open menu: show what is true now.
            showMediaInfo(m_player->mediaInfo());
        }
    });
    connect(
        m_player, &MediaPlayer::error, this,
        [this](const QString& msg) { showWarning(QStringLiteral("播放错误"), msg); },
        Qt::QueuedConnection);
    connect(m_service, &PlaybackService::playbackStarted, this, &PlayerWidget::onPlaybackStarted);
    connect(m_service, &PlaybackService::startFailed, this, &PlayerWidget::onStartFailed);
    connect(
        m_service, &PlaybackService::keyFetchFailed, this,
        [this](const QString& reason) { showWarning(QStringLiteral("授权失败"), reason); },
        Qt::QueuedConnection);
    connect(
        m_service, &PlaybackService::fileInvalid, this,
        [this](const QString& reason) { showWarning(QStringLiteral("文件无法识别"), reason); },
        Qt::QueuedConnection);

    connect(m_controlBar, &ControlBar::playPauseClicked, m_service,
            &PlaybackService::togglePlayPause);
    connect(m_controlBar, &ControlBar::prevClicked, m_service, &PlaybackService::playPrevious);
    connect(m_controlBar, &ControlBar::nextClicked, m_service, &PlaybackService::playNext);
    connect(m_controlBar, &ControlBar::seekRequested, m_service, &PlaybackService::seek);
    connect(m_controlBar, &ControlBar::seekPreviewRequested, m_service,
            &PlaybackService::previewSeek);
    connect(m_controlBar, &ControlBar::volumeChanged, this, [this](int percent) {
        m_service->setVolume(percent);
        m_volumeSaveTimer->start();
    });
    connect(m_controlBar, &ControlBar::muteClicked, this, &PlayerWidget::toggleMute);
    connect(m_controlBar, &ControlBar::speedChanged, this, [this](double speed) {
        m_service->setSpeed(speed);
        AppConfig::instance()->setSpeed(speed);
    });
    connect(m_controlBar, &ControlBar::fullscreenClicked, this, &PlayerWidget::onFullscreen);
    connect(m_controlBar, &ControlBar::screenshotClicked, this, &PlayerWidget::onScreenshot);

    connect(m_sidebar, &SidebarWidget::itemActivated, m_service, &PlaybackService::playIndex);
    connect(m_sidebar, &SidebarWidget::itemRemoved, m_service, &PlaybackService::onItemRemoved);
    connect(m_sidebar, &SidebarWidget::addVideoRequested, this, &PlayerWidget::onAddVideoRequested);

    PlaylistModel* model = m_sidebar->model();
    connect(model, &QAbstractItemModel::rowsInserted, this, &PlayerWidget::saveCurrentPlaylist);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &PlayerWidget::saveCurrentPlaylist);
    connect(model, &QAbstractItemModel::dataChanged, this, &PlayerWidget::saveCurrentPlaylist);
    connect(model, &QAbstractItemModel::modelReset, this, &PlayerWidget::saveCurrentPlaylist);
    // Removing the row of a file that has ended stops nothing (the player
    // already stands still), so no state change would bring the empty page.
    connect(model, &QAbstractItemModel::rowsRemoved, this, &PlayerWidget::showLoadedState);
    connect(model, &QAbstractItemModel::modelReset, this, &PlayerWidget::showLoadedState);
}

void PlayerWidget::showWarning(const QString& title, const QString& text)
{
    ConfirmDialog::alert(this, title, text, ConfirmDialog::Warning, kOkText);
}

bool PlayerWidget::hasMedia() const
{
    return !m_service->currentPath().isEmpty();
}

void PlayerWidget::placeControlBar()
{
    m_controlBar->setGeometry(0, m_videoContainer->height() - kControlBarHeight,
                              m_videoContainer->width(), kControlBarHeight);
}

// --- Files in ---------------------------------------------------------------

QString PlayerWidget::storeName(const QString& userId)
{
    if (userId.isEmpty()) {
        return {};
    }
    const QByteArray encoded = QUrl::toPercentEncoding(
        userId, QByteArray(), QByteArrayLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ~"));
    if (encoded == "default") {
        // The empty id's list lives under this name.
        return QStringLiteral("%64efault");
    }
    return QString::fromLatin1(encoded);
}

bool PlayerWidget::isContainerFile(const QString& path)
{
    return ContainerCheck::refusal(path).isEmpty();
}

void PlayerWidget::addFiles(const QStringList& paths, QList<Refusal> refused)
{
    PlaylistModel* model = m_sidebar->model();
    QString chosen;
    QList<PlaylistEntry> fresh;
    QSet<QString> freshPaths;
    for (const QString& candidate : paths) {
        const QString reason = ContainerCheck::refusal(candidate);
        if (!reason.isEmpty()) {
            refused.append({QFileInfo(candidate).fileName(), reason});
            continue;
        }
        const QFileInfo info(candidate);
        const QString path = info.absoluteFilePath();
        if (chosen.isEmpty()) {
            chosen = path;
        }
        if (model->rowOfPath(path) >= 0 || freshPaths.contains(path)) {
            continue;
        }
        PlaylistEntry entry;
        entry.fileId = path;
        entry.filePath = path;
        entry.title = info.completeBaseName();
        fresh.append(entry);
        freshPaths.insert(path);
    }
    // One batch, so files added together never evict each other from a full
    // list; rows move while others are evicted, so the file to play is found
    // again by its path afterwards. A listed file chosen to play counts as
    // played now, so making room for the others never evicts it.
    const int listed = chosen.isEmpty() ? -1 : model->rowOfPath(chosen);
    if (listed >= 0 && !fresh.isEmpty()) {
        model->setLastPlayed(listed, QDateTime::currentDateTime());
    }
    if (!fresh.isEmpty()) {
        model->addEntries(fresh);
    }
    const int row = chosen.isEmpty() ? -1 : model->rowOfPath(chosen);
    if (row >= 0) {
        m_sidebar->selectRow(row);
        m_service->playIndex(row);
    }
    reportRefused(refused);
}

void PlayerWidget::reportRefused(const QList<Refusal>& refused)
{
    if (refused.isEmpty()) {
        return;
    }
    QString text = QStringLiteral("以下文件不是可播放的加密视频，未加入播放列表：\n");
    for (int i = 0; i < refused.size() && i < kRefusalsListed; ++i) {
        text += QStringLiteral("\n• %1：%2").arg(refused.at(i).name, refused.at(i).reason);
    }
    if (refused.size() > kRefusalsListed) {
        text += QStringLiteral("\n……另有 %1 个文件").arg(refused.size() - kRefusalsListed);
    }
    // Not exec(): the files that were good are already starting, and this
    // batch's answer must not wait inside a nested event loop for the card.
    auto* card = new ConfirmDialog(QStringLiteral("文件未添加"), text, kOkText, QString(),
                                   ConfirmDialog::Warning, this);
    card->setAttribute(Qt::WA_DeleteOnClose);
    card->open();
}

void PlayerWidget::openFile(QString path)
{
    if (!isContainerFile(path)) {
        showWarning(QStringLiteral("文件无法识别"), kNotContainer);
        return;
    }
    addFiles({path});
}

void PlayerWidget::onAddVideoRequested()
{
    AppConfig* config = AppConfig::instance();
    const QStringList picked =
        QFileDialog::getOpenFileNames(this, QStringLiteral("选择加密视频"), config->lastImportDir(),
                                      QStringLiteral("加密视频 (*.vcz)"));
    if (picked.isEmpty()) {
        return;
    }
    config->setLastImportDir(QFileInfo(picked.first()).absolutePath());
    addFiles(picked);
}

void PlayerWidget::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void PlayerWidget::dropEvent(QDropEvent* event)
{
    QStringList paths;
    QList<Refusal> refused;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        const QString path = url.toLocalFile();
        if (path.isEmpty()) {
            refused.append({url.toDisplayString(), ContainerCheck::refusal(path)});
        } else if (!path.endsWith(kContainerSuffix, Qt::CaseInsensitive)) {
            // A container renamed to something else is left alone as well: the
            // name is what the viewer sees, and it says this is no container.
            refused.append({QFileInfo(path).fileName(), ContainerCheck::misnamed(path)});
        } else {
            paths.append(path);
        }
    }
    event->acceptProposedAction();
    // The drag's source (the file manager) waits until the drop returns; the
    // headers, the key and the player's open come after that.
    QTimer::singleShot(0, this, [this, paths, refused] { addFiles(paths, refused); });
}

// --- Playback ---------------------------------------------------------------

void PlayerWidget::onPlaybackStarted(QString filePath, int index)
{
    Q_UNUSED(filePath);
    m_sidebar->selectRow(index);

    m_watermark->setInfo(m_viewer.name, m_viewer.deviceId.right(4));
    m_watermark->show();
    m_watermark->raise();
    m_controlBar->raise();

    m_replayOverlay->hide();
    m_emptyState->hide();
    setFocus();

    const int current = m_service->currentIndex();
    m_controlBar->setPrevEnabled(current > 0);
    m_controlBar->setNextEnabled(current >= 0 && current < m_sidebar->model()->rowCount() - 1);
}

void PlayerWidget::setViewer(const ViewerIdentity& viewer)
{
    m_viewer = viewer;
    m_screenshots->setViewer(viewer);
}

void PlayerWidget::onPlayerStateChanged(PlayerState state)
{
    const bool playing = state == PlayerState::Playing;
    m_controlBar->setPlaying(playing);
    m_sidebar->delegate()->setPlaying(playing);
    m_controlBarManager->setAutoHide(playing);
    showLoadedState();
}

void PlayerWidget::showLoadedState()
{
    if (!hasMedia()) {
        // Nothing loaded (the row was removed, a failed choice let an ended
        // file go, or nothing ever played): back to the empty page, without
        // the bar that the auto-hide may just have shown.
        m_replayOverlay->hide();
        m_videoRenderer->clear();
        m_emptyState->show();
        m_watermark->hide();
        m_controlBar->hide();
        m_controlBar->setDuration(0);
        m_controlBar->setPosition(0);
        return;
    }
    switch (m_player->state()) {
        case PlayerState::Stopped:
            m_replayOverlay->raise();
            m_controlBar->raise();
            m_replayOverlay->show();
            break;
        case PlayerState::Error:
            // The open failed: what the renderer still holds is the picture
            // of the file before.
            m_replayOverlay->hide();
            m_videoRenderer->clear();
            break;
        case PlayerState::Playing:
            m_replayOverlay->hide();
            break;
        case PlayerState::Idle:
        case PlayerState::Paused:
            break;
    }
}

void PlayerWidget::onStartFailed(int row)
{
    // The highlight goes where the page's picture comes from: the file that
    // plays on, or else the row that failed, whose card follows.
    const int current = m_service->currentIndex();
    m_sidebar->selectRow(current >= 0 ? current : row);
    showLoadedState();
}

void PlayerWidget::onPositionChanged(qint64 ms)
{
    m_controlBar->setPosition(ms);
}

void PlayerWidget::onDurationChanged(qint64 ms)
{
    m_controlBar->setDuration(ms);
    const int current = m_service->currentIndex();
    if (current >= 0) {
        m_sidebar->model()->setEntryDuration(current, ms);
    }
}

void PlayerWidget::toggleMute()
{
    const bool muted = !m_controlBar->isMuted();
    m_service->setMuted(muted);
    m_controlBar->setMuted(muted);
    AppConfig::instance()->setMuted(muted);
}

void PlayerWidget::onFullscreen()
{
    watchWindow();
    QWidget* top = window();
    top->setWindowState(m_fullscreen ? (top->windowState() & ~Qt::WindowFullScreen)
                                     : (top->windowState() | Qt::WindowFullScreen));
    followWindowState();
    setFocus();
}

void PlayerWidget::watchWindow()
{
    QWidget* top = window();
    if (top == m_watchedWindow) {
        return;
    }
    if (m_watchedWindow) {
        m_watchedWindow->removeEventFilter(this);
    }
    m_watchedWindow = top;
    top->installEventFilter(this);
    followWindowState();
}

void PlayerWidget::followWindowState()
{
    const bool on = window()->isFullScreen();
    if (on == m_fullscreen) {
        return;
    }
    m_fullscreen = on;
    m_sidebar->setVisible(!on);
    m_controlBar->setFullscreen(on);
}

void PlayerWidget::toggleSidebar()
{
    m_sidebar->toggleCollapse();
    // The layout gives the container its new width on the next turn.
    QTimer::singleShot(0, this, &PlayerWidget::placeControlBar);
}

// --- Screenshots ------------------------------------------------------------

void PlayerWidget::onScreenshot()
{
    const int current = m_service->currentIndex();
    const QString title = current >= 0 ? m_sidebar->model()->entryAt(current).title : QString();
    m_screenshots->capture(m_videoRenderer, title);
}

void PlayerWidget::showToast(const QString& savedPath, const QImage& thumbnail)
{
    m_lastShotPath = savedPath;
    if (m_toast) {
        m_toast->hide();
        m_toast->deleteLater();
        m_toast = nullptr;
    }

    QPushButton* toast =
        Theme::pointerButton(QString(), m_videoContainer, QStringLiteral("shotToast"));
    toast->setIcon(QIcon(QPixmap::fromImage(thumbnail)));
    toast->setIconSize(thumbnail.size());
    toast->setText(QStringLiteral("已保存截图\n点击查看文件"));
    toast->setStyleSheet(Theme::fill(kToastStyle));
    connect(toast, &QPushButton::clicked, this, &PlayerWidget::onToastClicked);

    const int width = thumbnail.width() + kToastTextWidth;
    const int height = std::max(thumbnail.height() + kToastPadding, kToastMinHeight);
    const int x =
        std::max(m_videoContainer->width() - thumbnail.width() - kToastRightRoom, kToastMargin);
    const int y = std::max(m_videoContainer->height() - height - kToastBottomRoom, kToastMargin);
    toast->setGeometry(x, y, width, height);
    toast->show();
    toast->raise();
    m_toast = toast;

    if (!m_toastTimer) {
        m_toastTimer = new QTimer(this);
        m_toastTimer->setSingleShot(true);
        connect(m_toastTimer, &QTimer::timeout, this, [this] {
            if (m_toast) {
                m_toast->hide();
            }
        });
    }
    m_toastTimer->start(kToastMs);
}

void PlayerWidget::onToastClicked()
{
    if (m_lastShotPath.isEmpty()) {
        return;
    }
    // The notice goes first: a card saying the folder could not be shown
    // must not sit beside a notice inviting another click.
    if (m_toast) {
        m_toast->hide();
    }
    m_folders.open(this, QFileInfo(m_lastShotPath).absolutePath());
}

// --- Mouse and keys ---------------------------------------------------------

bool PlayerWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_watchedWindow) {
        if (event->type() == QEvent::WindowStateChange) {
            followWindowState();
        }
        return QWidget::eventFilter(watched, event);
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress:
            if (watched->objectName() == QLatin1String("emptyIcon")) {
                onAddVideoRequested();
                return true;
            }
            break;
        case QEvent::MouseButtonDblClick:
            if (watched == m_videoRenderer &&
                static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
                onFullscreen();
                return true;
            }
            break;
        case QEvent::MouseMove:
        case QEvent::Enter:
            // The empty page has nothing to control: the bar stays away.
            if (hasMedia()) {
                m_controlBarManager->notifyActivity();
            }
            break;
        case QEvent::Leave:
            if (!m_videoContainer->rect().contains(
                    m_videoContainer->mapFromGlobal(QCursor::pos()))) {
                m_controlBarManager->notifyLeave();
            }
            break;
        case QEvent::Resize:
            placeControlBar();
            break;
        default:
            break;
    }
    return QWidget::eventFilter(watched, event);
}

void PlayerWidget::keyPressEvent(QKeyEvent* event)
{
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
        // Combinations belong to the window and the screenshot keys.
        QWidget::keyPressEvent(event);
        return;
    }
    if (actOnKey(event->key())) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool PlayerWidget::actOnKey(int key)
{
    switch (key) {
        case Qt::Key_Escape:
            if (!m_fullscreen) {
                return false;
            }
            onFullscreen();
            return true;
        case Qt::Key_F:
            onFullscreen();
            return true;
        case Qt::Key_Left:
        case Qt::Key_Right:
            m_service->seekBy(key == Qt::Key_Left ? -kKeySeekMs : kKeySeekMs);
            return true;
        case Qt::Key_Up:
        case Qt::Key_Down:
            stepVolume(key == Qt::Key_Up ? kKeyVolumeStep : -kKeyVolumeStep);
            return true;
        case Qt::Key_M:
            toggleMute();
            return true;
        case Qt::Key_BracketLeft:
        case Qt::Key_BracketRight:
            stepSpeed(key == Qt::Key_BracketLeft ? -1 : 1);
            return true;
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            return jumpChapter(key == Qt::Key_PageUp ? -1 : 1);
        case Qt::Key_V:
            return toggleSubtitles();
        case Qt::Key_Comma:
        case Qt::Key_Period:
            return stepFrame(key == Qt::Key_Comma ? -1 : 1);
        case Qt::Key_Space:
            if (!hasMedia()) {
                return false;
            }
            m_service->togglePlayPause();
            return true;
        default:
            return false;
    }
}

QString PlayerWidget::trackLabel(const MediaTrack& track, int ordinal)
{
    if (track.title.isEmpty() && track.language.isEmpty()) {
        return QStringLiteral("音轨 %1").arg(ordinal);
    }
    if (track.title.isEmpty()) {
        return track.language;
    }
    return track.language.isEmpty() ? track.title
                                    : QStringLiteral("%1 (%2)").arg(track.title, track.language);
}

void PlayerWidget::showMediaInfo(const MediaInfo& info)
{
    QList<QPair<qint64, QString>> starts;
    for (const Chapter& c : info.chapters) {
        starts.append({c.startMs, c.title});
    }
    m_controlBar->setChapters(starts);
    const auto choices = [](const QList<MediaTrack>& tracks) {
        QList<ControlBar::TrackChoice> list;
        for (const MediaTrack& t : tracks) {
            list.append({t.streamIndex, trackLabel(t, int(list.size()) + 1)});
        }
        return list;
    };
    m_controlBar->setAudioTracks(choices(info.audioTracks), m_player->audioTrack());
    m_controlBar->setSubtitleTracks(choices(info.subtitleTracks), m_player->subtitleTrack());
}

void PlayerWidget::stepVolume(int delta)
{
    // Louder means audible: a muted player turned up is unmuted first.
    if (delta > 0 && m_controlBar->isMuted()) {
        toggleMute();
    }
    const int level = std::clamp(m_controlBar->volume() + delta, 0, 100);
    m_controlBar->setVolume(level);
    m_service->setVolume(level);
    m_volumeSaveTimer->start();
}

void PlayerWidget::stepSpeed(int step)
{
    const double speed = ControlBar::neighbourSpeed(m_controlBar->speed(), step);
    m_controlBar->setSpeed(speed);
    m_service->setSpeed(speed);
    AppConfig::instance()->setSpeed(speed);
}

bool PlayerWidget::jumpChapter(int step)
{
    const QList<Chapter>& chapters = m_player->mediaInfo().chapters;
    const qint64 at = m_player->position();
    const qint64 target =
        step > 0 ? Chapters::nextStart(chapters, at) : Chapters::previousStart(chapters, at);
    if (target < 0) {
        return false;
    }
    m_service->seek(target);
    return true;
}

void PlayerWidget::showSubtitles(int stream)
{
    if (stream >= 0) {
        m_lastSubtitleTrack = stream;
    }
    if (!m_service->setSubtitleTrack(stream)) {
        showMediaInfo(m_player->mediaInfo());  // the menu was of another file
        return;
    }
    m_controlBar->setSubtitleTracks(m_controlBar->subtitleTracks(), stream);
}

bool PlayerWidget::toggleSubtitles()
{
    const QList<MediaTrack>& tracks = m_player->mediaInfo().subtitleTracks;
    if (tracks.isEmpty()) {
        return false;
    }
    if (m_player->subtitleTrack() >= 0) {
        showSubtitles(-1);
        return true;
    }
    const bool known = std::any_of(tracks.cbegin(), tracks.cend(), [&](const MediaTrack& t) {
        return t.streamIndex == m_lastSubtitleTrack;
    });
    showSubtitles(known ? m_lastSubtitleTrack : tracks.first().streamIndex);
    return true;
}

bool PlayerWidget::stepFrame(int step)
{
    // While playing the pictures move on by themselves; a step is a paused
    // viewer's way of finding the one picture they want.
    const qint64 frameMs = m_player->mediaInfo().frameMs;
    if (m_player->state() != PlayerState::Paused || frameMs <= 0) {
        return false;
    }
    const qint64 target = std::max<qint64>(0, m_player->position() + step * frameMs);
    m_service->seek(target);
    return true;
}

void PlayerWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The page may have been moved into another window since it was made.
    watchWindow();
}

void PlayerWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeControlBar();
}

// --- Playlist storage -------------------------------------------------------

void PlayerWidget::loadPlaylist(const QString& name)
{
    // Read before anything touches the model: clearing it below would
    // otherwise save an empty list over the stored one.
    const QList<PlaylistEntry> stored = AppConfig::instance()->loadPlaylist(storeName(name));
    QList<PlaylistEntry> entries;
    for (PlaylistEntry entry : stored) {
        if (!isContainerFile(entry.filePath)) {
            continue;
        }
        if (entry.fileId.isEmpty()) {
            entry.fileId = entry.filePath;
        }
        entries.append(entry);
    }

    m_loading = true;
    m_playlistName = name;
    PlaylistModel* model = m_sidebar->model();
    model->clear();
    model->addEntries(entries);
    m_loading = false;
    m_autoSave = true;
}

void PlayerWidget::savePlaylist(const QString& name)
{
    if (name.isEmpty()) {
        return;
    }
    AppConfig::instance()->savePlaylist(storeName(name), m_sidebar->model()->entries());
}

void PlayerWidget::saveCurrentPlaylist()
{
    if (m_autoSave && !m_loading) {
        savePlaylist(m_playlistName);
    }
}

void PlayerWidget::savePosition()
{
    m_service->savePosition();
}
