#include "ControlBar.h"

#include <QActionGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QVBoxLayout>
#include <array>

#include "SeekSlider.h"
#include "SvgIcon.h"
#include "Theme.h"
#include "TimeText.h"

namespace {

const char* const kPrevPath = "<path d=\"M6 6h2v12H6zm3.5 6 8.5 6V6z\"/>";
const char* const kNextPath = "<path d=\"M16 6h2v12h-2zM6 6l8.5 6L6 18V6z\"/>";
const char* const kPlayPath = "<path d=\"M8 5v14l11-7z\"/>";
const char* const kPausePath = "<path d=\"M6 19h4V5H6v14zm8-14v14h4V5h-4z\"/>";
const char* const kVolumePath =
    "<path d=\"M3 9v6h4l5 5V4L7 9H3zm13.5 3c0-1.77-1.02-3.29-2.5-4.03v8.05c1.48-.73 "
    "2.5-2.25 2.5-4.02z\"/>";
const char* const kMutedPath =
    "<path d=\"M16.5 12c0-1.77-1.02-3.29-2.5-4.03v2.21l2.45 2.45c.03-.2.05-.41.05-.63zm2.5 "
    "0c0 .94-.2 1.82-.54 2.64l1.51 1.51C20.63 14.91 21 13.5 21 12c0-4.28-2.99-7.86-7-8.77v2.06c2.89"
    ".86 5 3.54 5 6.71zM4.27 3 3 4.27 7.73 9H3v6h4l5 5v-6.73l4.25 4.25c-.67.52-1.42.93-2.25 "
    "1.18v2.06c1.38-.31 2.63-.95 3.69-1.81L19.73 21 21 19.73l-9-9L4.27 3zM12 4 9.91 6.09 12 "
    "8.18V4z\"/>";
// A note on a stave: the sound track menu.
const char* const kTracksPath =
    "<path d=\"M12 3v9.28c-.47-.17-.97-.28-1.5-.28C8.01 12 6 14.01 6 16.5S8.01 21 10.5 21c2.31 0 "
    "4.2-1.75 4.45-4H15V6h4V3h-7z\"/>";
const char* const kScreenshotPath =
    "<path d=\"M12 12m-3.2 0a3.2 3.2 0 1 0 6.4 0a3.2 3.2 0 1 0 -6.4 0\"/>"
    "<path d=\"M9 2L7.17 4H4c-1.1 0-2 .9-2 2v12c0 1.1.9 2 2 2h16c1.1 0 2-.9 2-2V6c0-1.1-.9-2-2-2h-"
    "3.17L15 2H9zm3 15c-2.76 0-5-2.24-5-5s2.24-5 5-5 5 2.24 5 5-2.24 5-5 5z\"/>";
const char* const kEnterFullscreenPath =
    "<path d=\"M7 14H5v5h5v-2H7v-3zm-2-4h2V7h3V5H5v5zm12 7h-3v2h5v-5h-2v3zM14 5v2h3v3h2V5h-5z\"/>";
const char* const kExitFullscreenPath =
    "<path d=\"M5 16h3v3h2v-5H5v2zm3-8H5v2h5V5H8v3zm6 11h2v-3h3v-2h-5v5zm2-11V5h-2v5h5V8h-3z\"/>";

// White icons sit at 70 % on the dark bar; a disabled one nearly vanishes.
constexpr int kIconAlpha = 179;
constexpr int kDisabledIconAlpha = 40;

constexpr int kCtrlIconSize = 20;
constexpr int kCtrlButtonSize = 36;
constexpr int kPlayIconSize = 18;
constexpr int kPlayButtonSize = 40;
constexpr int kSpeedButtonHeight = 24;
constexpr int kSpeedButtonMinWidth = 44;
constexpr int kVolumeSliderWidth = 64;
constexpr int kInitialVolume = 80;
constexpr int kMaxVolume = 100;
// Height of the strip at the top over which the bar fades into the video.
constexpr int kFadeHeight = 8;
// Gap between the speed menu and the button it opens from.
constexpr int kMenuGap = 4;
// Two speeds this close are the same entry of the menu.
constexpr double kSpeedTolerance = 0.01;

struct SpeedChoice
{
    double value;
    const char* label;
};
constexpr std::array<SpeedChoice, 6> kSpeeds{
    {{0.5, "0.5x"}, {0.75, "0.75x"}, {1.0, "1.0x"}, {1.25, "1.25x"}, {1.5, "1.5x"}, {2.0, "2.0x"}}};

// A click on the volume bar sets the level under the pointer, as the seek
// bar does, instead of stepping towards it; the press then drags on.
class VolumeSlider : public QSlider
{
public:
    using QSlider::QSlider;

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton) {
            setValue(QStyle::sliderValueFromPosition(minimum(), maximum(),
                                                     qRound(event->position().x()), width()));
        }
        QSlider::mousePressEvent(event);
    }
};

QColor white(int alpha)
{
    return Theme::color(QStringLiteral("white"), alpha);
}

// The dark glyph on the accent circle, and the bar under the controls.
QColor ink(int alpha = 255)
{
    return Theme::color(QStringLiteral("ink"), alpha);
}

QIcon icon(const char* path, const QColor& color, int size)
{
    return SvgIcon::icon(QLatin1String(path), color, size);
}

const char* const kStyle = R"(
#progressSlider::groove:horizontal { background: {white@15}; height: 3px; border-radius: 2px; }
#progressSlider::sub-page:horizontal { background: {accent}; border-radius: 2px; }
#progressSlider::handle:horizontal { background: {white}; width: 11px; height: 11px; margin: -4px 0; border-radius: 6px; }
#progressSlider::handle:horizontal:hover { background: {accent}; }
#volSlider::groove:horizontal { background: {white@20}; height: 3px; border-radius: 2px; }
#volSlider::sub-page:horizontal { background: {white}; border-radius: 2px; }
#volSlider::handle:horizontal { background: {white}; width: 8px; height: 8px; margin: -3px 0; border-radius: 4px; }
#ctrlBtn { background: transparent; border: none; border-radius: 6px; }
#ctrlBtn:hover { background: {white@10}; }
#ctrlBtn:disabled { background: transparent; opacity: 0.3; }
#playBtn { background: {accent}; border: none; border-radius: 20px; }
#playBtn:hover { background: {accentHover}; }
#timeLabel { font-size: 12px; color: {white@70}; padding: 0 8px; }
#speedBtn { background: {white@10}; border: none; color: {white@70};
            font-size: 12px; border-radius: 4px; padding: 0 9px; }
#speedBtn:hover { background: {white@18}; color: {white}; }
)";

// The speed and tracks menus open upwards from the bar, in the bar's
// colours; the context menus elsewhere are Theme::menuStyle(). A disabled
// entry is a title over a part of the tracks menu.
const char* const kMenuStyle = R"(
#speedMenu, #tracksMenu { background-color: {panel}; border: 1px solid {accentStrong}; border-radius: 6px; padding: 4px 0; }
#speedMenu::item, #tracksMenu::item { color: {white@75}; font-size: 12px; padding: 6px 22px; }
#speedMenu::item:selected, #tracksMenu::item:selected { background-color: {accent@18}; color: {accent}; }
#speedMenu::item:checked, #tracksMenu::item:checked { color: {accent}; }
#tracksMenu::item:disabled { color: {white@45}; font-size: 11px; padding: 6px 12px 2px 12px; }
#tracksMenu::separator { height: 1px; background: {accentLine}; margin: 4px 0; }
)";

QString speedLabel(double speed)
{
    // The fixed speeds keep their one-decimal form ("1.0x", "2.0x"), which
    // 'g' formatting would shorten.
    static constexpr std::array<double, 6> kOrder{1.0, 0.5, 0.75, 1.25, 1.5, 2.0};
    for (double known : kOrder) {
        if (qFuzzyCompare(speed, known)) {
            for (const SpeedChoice& c : kSpeeds) {
                if (c.value == known) {
                    return QLatin1String(c.label);
                }
            }
        }
    }
    return QString::number(speed, 'g', 2) + QLatin1Char('x');
}

}  // namespace

ControlBar::ControlBar(QWidget* parent) : QWidget(parent)
{
    // The bar paints its own background, fading in at the top; letting Qt
    // fill it first would put an opaque band where the video should show.
    setAttribute(Qt::WA_StyledBackground);

    buildControls();
    layOutControls();
    for (QWidget* control : findChildren<QWidget*>()) {
        control->setFocusPolicy(Qt::NoFocus);
    }
    connectControls();
    setStyleSheet(Theme::fill(kStyle));
}

void ControlBar::buildControls()
{
    m_progress = new SeekSlider(Qt::Horizontal, this);
    m_progress->setObjectName(QStringLiteral("progressSlider"));
    m_progress->setCursor(Qt::PointingHandCursor);

    m_prevBtn = makeCtrlButton();
    m_prevBtn->setIcon(icon(kPrevPath, white(kIconAlpha), kCtrlIconSize));

    m_playBtn = Theme::pointerButton(QString(), this, QStringLiteral("playBtn"));
    m_playBtn->setFixedSize(kPlayButtonSize, kPlayButtonSize);
    m_playBtn->setIconSize(QSize(kPlayIconSize, kPlayIconSize));
    m_playBtn->setIcon(icon(kPlayPath, ink(), kPlayIconSize));

    m_nextBtn = makeCtrlButton();
    m_nextBtn->setIcon(icon(kNextPath, white(kIconAlpha), kCtrlIconSize));

    m_volumeBtn = makeCtrlButton();
    setMuted(false);

    m_volumeSlider = new VolumeSlider(Qt::Horizontal, this);
    m_volumeSlider->setObjectName(QStringLiteral("volSlider"));
    m_volumeSlider->setRange(0, kMaxVolume);
    m_volumeSlider->setValue(kInitialVolume);
    m_volumeSlider->setFixedWidth(kVolumeSliderWidth);
    m_volumeSlider->setCursor(Qt::PointingHandCursor);

    m_timeLabel = new QLabel(this);
    m_timeLabel->setObjectName(QStringLiteral("timeLabel"));
    m_timeLabel->setTextFormat(Qt::PlainText);
    m_timeLabel->setText(QStringLiteral("00:00 / 00:00"));

    m_speedBtn = Theme::pointerButton(QStringLiteral("1.0x"), this, QStringLiteral("speedBtn"));
    m_speedBtn->setFixedHeight(kSpeedButtonHeight);
    m_speedBtn->setMinimumWidth(kSpeedButtonMinWidth);

    m_screenshotBtn = makeCtrlButton();
    m_screenshotBtn->setToolTip(QStringLiteral("截图"));
    m_screenshotBtn->setIcon(icon(kScreenshotPath, white(kIconAlpha), kCtrlIconSize));

    m_fullscreenBtn = makeCtrlButton();
    setFullscreen(false);

    m_tracksBtn = makeCtrlButton();
    m_tracksBtn->setToolTip(QStringLiteral("音轨与字幕"));
    m_tracksBtn->setIcon(icon(kTracksPath, white(kIconAlpha), kCtrlIconSize));
    m_tracksBtn->hide();
}

void ControlBar::layOutControls()
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(20, 0, 20, 18);
    outer->setSpacing(4);
    outer->addWidget(m_progress);

    auto* row = new QHBoxLayout;
    row->setSpacing(4);
    row->addWidget(m_prevBtn);
    row->addWidget(m_playBtn);
    row->addWidget(m_nextBtn);
    row->addSpacing(4);
    row->addWidget(m_volumeBtn);
    row->addWidget(m_volumeSlider);
    row->addSpacing(8);
    row->addWidget(m_timeLabel);
    row->addStretch();
    row->addWidget(m_tracksBtn);
    row->addWidget(m_speedBtn);
    row->addWidget(m_screenshotBtn);
    row->addWidget(m_fullscreenBtn);
    outer->addLayout(row);
}

void ControlBar::connectControls()
{
    connect(m_playBtn, &QPushButton::clicked, this, &ControlBar::playPauseClicked);
    connect(m_prevBtn, &QPushButton::clicked, this, &ControlBar::prevClicked);
    connect(m_nextBtn, &QPushButton::clicked, this, &ControlBar::nextClicked);
    connect(m_progress, &SeekSlider::seekRequested, this, &ControlBar::seekRequested);
    connect(m_progress, &QSlider::sliderMoved, this, &ControlBar::onSliderMoved);
    connect(m_progress, &QSlider::sliderReleased, this, &ControlBar::onSliderReleased);
    connect(m_volumeSlider, &QSlider::valueChanged, this, &ControlBar::volumeChanged);
    connect(m_volumeBtn, &QPushButton::clicked, this, &ControlBar::muteClicked);
    connect(m_speedBtn, &QPushButton::clicked, this, &ControlBar::onSpeedClicked);
    connect(m_tracksBtn, &QPushButton::clicked, this, &ControlBar::onTracksClicked);
    connect(m_fullscreenBtn, &QPushButton::clicked, this, &ControlBar::fullscreenClicked);
    connect(m_screenshotBtn, &QPushButton::clicked, this, &ControlBar::screenshotClicked);
}

QPushButton* ControlBar::makeCtrlButton()
{
    QPushButton* button = Theme::pointerButton(QString(), this, QStringLiteral("ctrlBtn"));
    button->setFixedSize(kCtrlButtonSize, kCtrlButtonSize);
    button->setIconSize(QSize(kCtrlIconSize, kCtrlIconSize));
    return button;
}

void ControlBar::setDuration(qint64 ms)
{
    m_duration = ms;
    m_progress->setDuration(ms);
    updateTimeLabel(0);
}

void ControlBar::setPosition(qint64 ms)
{
    if (m_duration > 0 && !m_progress->isSliderDown()) {
        const qint64 value = qBound<qint64>(0, ms, m_duration) * SeekSlider::kScale / m_duration;
        m_progress->setValue(int(value));
    }
    updateTimeLabel(ms);
}

void ControlBar::updateTimeLabel(qint64 positionMs)
{
    m_timeLabel->setText(TimeText::format(positionMs) + QStringLiteral(" / ") +
                         TimeText::format(m_duration));
}

void ControlBar::setPlaying(bool playing)
{
    m_playing = playing;
    m_playBtn->setIcon(icon(playing ? kPausePath : kPlayPath, ink(), kPlayIconSize));
}

void ControlBar::setPrevEnabled(bool on)
{
    m_prevBtn->setEnabled(on);
    m_prevBtn->setIcon(icon(kPrevPath, white(on ? kIconAlpha : kDisabledIconAlpha), kCtrlIconSize));
}

void ControlBar::setNextEnabled(bool on)
{
    m_nextBtn->setEnabled(on);
    m_nextBtn->setIcon(icon(kNextPath, white(on ? kIconAlpha : kDisabledIconAlpha), kCtrlIconSize));
}

void ControlBar::setFullscreen(bool on)
{
    m_fullscreenBtn->setIcon(
        icon(on ? kExitFullscreenPath : kEnterFullscreenPath, white(kIconAlpha), kCtrlIconSize));
    m_fullscreenBtn->setToolTip(on ? QStringLiteral("退出全屏") : QStringLiteral("全屏"));
}

void ControlBar::setChapters(const QList<QPair<qint64, QString>>& starts)
{
    QList<SeekSlider::ChapterMark> marks;
    for (const auto& [ms, title] : starts) {
        marks.append({ms, title});
    }
    m_progress->setChapters(marks);
}

void ControlBar::setVolume(int percent)
{
    const QSignalBlocker quiet(m_volumeSlider);
    m_volumeSlider->setValue(percent);
}

int ControlBar::volume() const
{
    return m_volumeSlider->value();
}

void ControlBar::setSpeed(double speed)
{
    m_speed = speed;
    m_speedBtn->setText(speedLabel(speed));
}

void ControlBar::setMuted(bool muted)
{
    m_muted = muted;
    m_volumeBtn->setIcon(icon(muted ? kMutedPath : kVolumePath, white(kIconAlpha), kCtrlIconSize));
    m_volumeBtn->setToolTip(muted ? QStringLiteral("取消静音 (M)") : QStringLiteral("静音 (M)"));
}

bool ControlBar::eventFilter(QObject* watched, QEvent* event)
{
    return QWidget::eventFilter(watched, event);
}

void ControlBar::onSliderMoved(int value)
{
    if (m_duration > 0) {
        m_dragged = true;
        emit seekPreviewRequested(m_duration * value / SeekSlider::kScale);
    }
}

void ControlBar::onSliderReleased()
{
    // The previews showed key frames near the handle; where it is let go
    // the picture is the exact one.
    if (m_dragged && m_duration > 0) {
        emit seekRequested(m_duration * m_progress->value() / SeekSlider::kScale);
    }
    m_dragged = false;
}

void ControlBar::execAbove(QMenu& menu, QPushButton* button)
{
    const QSize hint = menu.sizeHint();
    QPoint at = button->mapToGlobal(QPoint(0, 0));
    at.ry() -= hint.height() + kMenuGap;
    at.rx() += (button->width() - hint.width()) / 2;
    menu.exec(at);
}

void ControlBar::onSpeedClicked()
{
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("speedMenu"));
    menu.setStyleSheet(Theme::fill(kMenuStyle));
    auto* group = new QActionGroup(&menu);
    for (const SpeedChoice& choice : kSpeeds) {
        QAction* action = menu.addAction(QLatin1String(choice.label));
        action->setCheckable(true);
        action->setChecked(qAbs(choice.value - m_speed) < kSpeedTolerance);
        group->addAction(action);
        const double value = choice.value;
        connect(action, &QAction::triggered, this, [this, value] { onSpeedMenuPick(value); });
    }
    execAbove(menu, m_speedBtn);
}

void ControlBar::setAudioTracks(const QList<TrackChoice>& tracks, int current)
{
    m_audioTracks = tracks;
    m_currentAudioTrack = current;
    updateTracksButton();
}

void ControlBar::setSubtitleTracks(const QList<TrackChoice>& tracks, int current)
{
    m_subtitleTracks = tracks;
    m_currentSubtitleTrack = current;
    updateTracksButton();
}

void ControlBar::updateTracksButton()
{
    m_tracksBtn->setVisible(m_audioTracks.size() >= 2 || !m_subtitleTracks.isEmpty());
}

void ControlBar::onTracksClicked()
{
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("tracksMenu"));
    menu.setStyleSheet(Theme::fill(kMenuStyle));
    if (m_audioTracks.size() >= 2) {
        addTrackSection(menu, QStringLiteral("音轨"), m_audioTracks, m_currentAudioTrack,
                        [this](int id) {
                            m_currentAudioTrack = id;
                            emit audioTrackChosen(id);
                        });
    }
    if (!m_subtitleTracks.isEmpty()) {
        QList<TrackChoice> subtitles{{-1, QStringLiteral("关闭字幕")}};
        subtitles += m_subtitleTracks;
        addTrackSection(menu, QStringLiteral("字幕"), subtitles, m_currentSubtitleTrack,
                        [this](int id) {
                            m_currentSubtitleTrack = id;
                            emit subtitleTrackChosen(id);
                        });
    }
    execAbove(menu, m_tracksBtn);
}

void ControlBar::addTrackSection(QMenu& menu, const QString& title,
                                 const QList<TrackChoice>& tracks, int current,
                                 const std::function<void(int)>& choose)
{
    // A title entry, not QMenu::addSection: the bar's style draws a
    // section as a bare line and drops its text.
    if (!menu.isEmpty()) {
        menu.addSeparator();
    }
    menu.addAction(title)->setEnabled(false);
    auto* group = new QActionGroup(&menu);
    for (const TrackChoice& track : tracks) {
        // An action's text takes & as a shortcut mark; a name is shown as written.
        QString text = track.label;
        QAction* action = menu.addAction(text.replace(QLatin1Char('&'), QStringLiteral("&&")));
        action->setCheckable(true);
        action->setChecked(track.id == current);
        group->addAction(action);
        const int id = track.id;
        connect(action, &QAction::triggered, this, [id, current, choose] {
            if (id != current) {
                choose(id);
            }
        });
    }
}

double ControlBar::neighbourSpeed(double current, int step)
{
    // A speed between two entries (kept from an older version) steps to the
    // next entry in the direction asked.
    if (step > 0) {
        for (const SpeedChoice& c : kSpeeds) {
            if (c.value > current + kSpeedTolerance) {
                return c.value;
            }
        }
    } else if (step < 0) {
        for (auto it = kSpeeds.rbegin(); it != kSpeeds.rend(); ++it) {
            if (it->value < current - kSpeedTolerance) {
                return it->value;
            }
        }
    }
    return current;
}

void ControlBar::onSpeedMenuPick(double speed)
{
    setSpeed(speed);
    emit speedChanged(speed);
}

void ControlBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QLinearGradient fade(0, 0, 0, kFadeHeight);
    fade.setColorAt(0, ink(0));
    fade.setColorAt(1, ink());
    painter.fillRect(QRect(0, 0, width(), kFadeHeight), fade);
    painter.fillRect(QRect(0, kFadeHeight, width(), height() - kFadeHeight), ink());
}
