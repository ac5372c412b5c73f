#pragma once

#include <QImage>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "FolderOpener.h"
#include "PlayerState.h"
#include "ViewerIdentity.h"

class ControlBar;
class ControlBarManager;
class KeyManager;
class MediaPlayer;
struct MediaInfo;
struct MediaTrack;
class OverlayContainer;
class PlaybackService;
class QPushButton;
class QTimer;
class ScreenshotService;
class SidebarWidget;
class VideoRenderer;
namespace AntiPiracy {
class Watermark;
}

// The player page: the video area with its layers (picture, empty page,
// replay dimmer, watermark) and the control bar, next to the playlist
// sidebar. Owns the playback engine for the window's lifetime, turns the
// user's gestures (dialog, drop, path, bar, keyboard) into playback, shows
// every failure in a warning card and keeps the user's playlist in the
// settings store. GUI thread only.
class PlayerWidget : public QWidget
{
    Q_OBJECT

public:
    // The bar's height over the bottom of the video.
    static constexpr int kControlBarHeight = 80;
    // Left and Right jump this far.
    static constexpr qint64 kKeySeekMs = 10000;
    // Up and Down: a step a listener hears, twenty from silence to full.
    static constexpr int kKeyVolumeStep = 5;
    // How long a screenshot notice stays.
    static constexpr int kToastMs = 3500;
    static constexpr int kEmptyIconSize = 48;
    static constexpr int kReplayButtonSize = 72;
    static constexpr int kReplayIconSize = 32;
    // How long the volume bar rests before its level is stored.
    static constexpr int kVolumeSaveDelayMs = 300;

    explicit PlayerWidget(QWidget* parent = nullptr);
    ~PlayerWidget() override;

    // The user's playlist: loaded once per login, saved on every change
    // after that. name is the server's user id.
    void loadPlaylist(const QString& name);
    void savePlaylist(const QString& name);
    void savePosition();

    // Whom the watermark and the screenshots name; the application hands it
    // in after each login.
    void setViewer(const ViewerIdentity& viewer);

    // The settings group name a user id is stored under: percent-encoded,
    // upper-case letters and "~" included, so the name holds no separator
    // ("/" or "\"), two ids never meet even where group names ignore letter
    // case, and ids of digits, lower-case letters, "-", "_" and "." keep the
    // name they always had. The empty id stays empty (the shared default
    // list); the id "default" is escaped so it cannot reach that list.
    static QString storeName(const QString& userId);

    // A regular file with a readable container header; a FIFO or device is
    // refused before anything tries to read it.
    static bool isContainerFile(const QString& path);

    QString playlistName() const { return m_playlistName; }
    bool isFullscreen() const { return m_fullscreen; }
    MediaPlayer* player() const { return m_player; }
    PlaybackService* service() const { return m_service; }
    ScreenshotService* screenshots() const { return m_screenshots; }
    KeyManager* keyManager() const { return m_keyManager; }
    SidebarWidget* sidebar() const { return m_sidebar; }
    ControlBar* controlBar() const { return m_controlBar; }
    ControlBarManager* controlBarManager() const { return m_controlBarManager; }
    VideoRenderer* videoRenderer() const { return m_videoRenderer; }
    OverlayContainer* videoContainer() const { return m_videoContainer; }
    AntiPiracy::Watermark* watermark() const { return m_watermark; }
    QWidget* emptyState() const { return m_emptyState; }
    QWidget* replayOverlay() const { return m_replayOverlay; }
    QPushButton* replayButton() const { return m_replayButton; }
    QPushButton* toast() const { return m_toast; }
    QTimer* toastTimer() const { return m_toastTimer; }
    // How the screenshot folder is shown to the user; tests hand in their own.
    void setFolderOpener(const FolderOpener::Opener& opener) { m_folders.setOpener(opener); }

public slots:
    void onFullscreen();
    // Silences or restores the sound (speaker button, M); remembered.
    void toggleMute();
    void onPlayerStateChanged(PlayerState state);
    void onPositionChanged(qint64 ms);
    void onDurationChanged(qint64 ms);
    void onPlaybackStarted(QString filePath, int index);
    void toggleSidebar();
    void openFile(QString path);
    void onAddVideoRequested();
    void onScreenshot();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The page's keys (listed in its tooltip); false when the key does
    // nothing here now, so it travels on.
    bool actOnKey(int key);
    void stepVolume(int delta);
    // A sound track's name in the menu: its title and language as tagged,
    // else its place among the file's tracks.
    static QString trackLabel(const MediaTrack& track, int ordinal);
    // Gives the bar the open file's chapters, sound tracks and the one playing.
    void showMediaInfo(const MediaInfo& info);
    void stepSpeed(int step);
    bool jumpChapter(int step);
    bool stepFrame(int step);
    // Shows that subtitle track (-1: none); V switches between none and
    // the track last shown (else the first).
    void showSubtitles(int stream);
    bool toggleSubtitles();
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // A file of one batch that was not added, and why.
    struct Refusal
    {
        QString name;
        QString reason;
    };

    void buildLayout();
    QWidget* buildEmptyState();
    QWidget* buildReplayOverlay();
    void connectAll();
    // Adds the valid containers among paths (one batch) and plays the first
    // of them, found again by its path after the additions. Every path
    // refused, with those refused before the batch got here, is named in one
    // card.
    void addFiles(const QStringList& paths, QList<Refusal> refused = {});
    void reportRefused(const QList<Refusal>& refused);
    // The video area's layers, the bar and the watermark as the loaded file
    // and the player's state say; with nothing loaded, the empty page.
    void showLoadedState();
    void onStartFailed(int row);
    // Full screen is the window's state: whatever changes it (the bar, a
    // key, the title bar's maximise, the desktop), the sidebar and the bar's
    // button follow from here.
    void watchWindow();
    void followWindowState();
    void placeControlBar();
    // Something is loaded: a file plays, is paused or has ended.
    bool hasMedia() const;
    void showWarning(const QString& title, const QString& text);
    void showToast(const QString& savedPath, const QImage& thumbnail);
    void onToastClicked();
    void saveCurrentPlaylist();

    // All fields: GUI thread only; widgets and services are Qt children.
    MediaPlayer* m_player = nullptr;
    PlaybackService* m_service = nullptr;
    ScreenshotService* m_screenshots = nullptr;
    ViewerIdentity m_viewer;
    VideoRenderer* m_videoRenderer = nullptr;
    int m_lastSubtitleTrack = -1;  // the subtitle track V brings back
    ControlBar* m_controlBar = nullptr;
    ControlBarManager* m_controlBarManager = nullptr;
    SidebarWidget* m_sidebar = nullptr;
    KeyManager* m_keyManager = nullptr;
    OverlayContainer* m_videoContainer = nullptr;
    QWidget* m_emptyState = nullptr;
    QWidget* m_replayOverlay = nullptr;
    QPushButton* m_replayButton = nullptr;
    AntiPiracy::Watermark* m_watermark = nullptr;
    bool m_fullscreen = false;
    QPointer<QWidget> m_watchedWindow;  // whose state changes are followed
    QPushButton* m_toast = nullptr;
    QString m_lastShotPath;
    QTimer* m_toastTimer = nullptr;
    QTimer* m_volumeSaveTimer = nullptr;
    FolderOpener m_folders;
    QString m_playlistName;
    // The model's changes are saved once a playlist was loaded, but not
    // while the load itself refills the model.
    bool m_autoSave = false;
    bool m_loading = false;
};
