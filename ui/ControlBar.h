#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QWidget>
#include <functional>

class QLabel;
class QMenu;
class QPushButton;
class QSlider;
class SeekSlider;

// The transport strip over the bottom of the video. It is a passive view:
// every user action becomes a signal, and every state it shows (duration,
// position, playing, muted, fullscreen, previous/next possible) is set by the
// player page. Clicking play does not change the icon; setPlaying does.
// None of its controls takes keyboard focus: the page's keys (seek, pause)
// keep working after a click on the bar.
class ControlBar : public QWidget
{
    Q_OBJECT

public:
    explicit ControlBar(QWidget* parent = nullptr);

    void setDuration(qint64 ms);
    // The file's chapters, marked on the seek bar (empty: none).
    void setChapters(const QList<QPair<qint64, QString>>& starts);
    void setPosition(qint64 ms);
    void setPlaying(bool playing);
    void setPrevEnabled(bool on);
    void setNextEnabled(bool on);
    void setFullscreen(bool on);
    // The level and speed the user chose earlier; neither emits a change.
    void setVolume(int percent);
    void setSpeed(double speed);
    void setMuted(bool muted);

    // A sound track the viewer may pick: its stream number and its name.
    struct TrackChoice
    {
        int id = -1;
        QString label;
    };
    // The file's sound tracks and the one playing; the tracks button shows
    // only when there is a choice (two or more).
    void setAudioTracks(const QList<TrackChoice>& tracks, int current);
    // The file's subtitle tracks and the one shown (-1: none); with any, the
    // tracks button shows and its menu offers them and "关闭字幕".
    void setSubtitleTracks(const QList<TrackChoice>& tracks, int current);
    const QList<TrackChoice>& subtitleTracks() const { return m_subtitleTracks; }
    QPushButton* tracksButton() const { return m_tracksBtn; }

    double speed() const { return m_speed; }
    // The speed one step up (step > 0) or down the menu's list from
    // `current`; `current` itself at either end.
    static double neighbourSpeed(double current, int step);
    int volume() const;
    bool isPlaying() const { return m_playing; }
    bool isMuted() const { return m_muted; }
    QPushButton* volumeButton() const { return m_volumeBtn; }

    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    void playPauseClicked();
    void prevClicked();
    void nextClicked();
    // An exact seek: a click on the bar, or where a drag lets go.
    void seekRequested(qint64 ms);
    // While the handle is dragged: a quick look near the handle.
    void seekPreviewRequested(qint64 ms);
    void volumeChanged(int vol);
    void muteClicked();
    void speedChanged(double speed);
    void audioTrackChosen(int id);
    // -1: subtitles off.
    void subtitleTrackChosen(int id);
    void fullscreenClicked();
    void screenshotClicked();

public slots:
    void onSliderMoved(int value);
    void onSliderReleased();
    void onSpeedClicked();
    void onSpeedMenuPick(double speed);
    void onTracksClicked();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The constructor's steps, in this order: the controls (created in
    // their row's order), their places, their signals.
    void buildControls();
    void layOutControls();
    void connectControls();
    QPushButton* makeCtrlButton();
    // Opens the menu centred above the button, as the bar's menus open.
    void execAbove(QMenu& menu, QPushButton* button);
    void addTrackSection(QMenu& menu, const QString& title, const QList<TrackChoice>& tracks,
                         int current, const std::function<void(int)>& choose);
    void updateTimeLabel(qint64 positionMs);

    SeekSlider* m_progress;
    QLabel* m_timeLabel;
    QPushButton* m_prevBtn;
    QPushButton* m_playBtn;
    QPushButton* m_nextBtn;
    QPushButton* m_volumeBtn;
    QSlider* m_volumeSlider;
    QPushButton* m_speedBtn;
    QPushButton* m_screenshotBtn;
    QPushButton* m_fullscreenBtn;
    QPushButton* m_tracksBtn;
    QList<TrackChoice> m_audioTracks;
    int m_currentAudioTrack = -1;
    QList<TrackChoice> m_subtitleTracks;
    int m_currentSubtitleTrack = -1;
    void updateTracksButton();
    qint64 m_duration = 0;
    double m_speed = 1.0;
    bool m_playing = false;
    bool m_muted = false;
    bool m_dragged = false;  // the handle moved since it was pressed
};
