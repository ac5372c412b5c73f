#pragma once

#include <QLabel>
#include <QList>
#include <QPointer>
#include <QSlider>

// The progress slider of the control bar. Its value is the position in
// thousandths of the duration; a click jumps there at once (rather than
// paging), and a bubble above the bar shows the time under the pointer.
class SeekSlider : public QSlider
{
    Q_OBJECT

public:
    // The value range: thousandths of the duration.
    static constexpr int kScale = 1000;

    SeekSlider(Qt::Orientation orientation, QWidget* parent = nullptr);
    // The bubble lives in another widget; it goes with the slider.
    ~SeekSlider() override;

    // A duration of zero or less turns off seeking and the bubble.
    void setDuration(qint64 ms);
    qint64 duration() const { return m_duration; }

    // Where the file's chapters start: a small mark on the bar each, and the
    // bubble names the chapter under the pointer.
    struct ChapterMark
    {
        qint64 startMs = 0;
        QString title;  // may be empty
    };
    void setChapters(const QList<ChapterMark>& chapters);
    const QList<ChapterMark>& chapters() const { return m_chapters; }
    // The x at which a time lies on the bar.
    int xForTime(qint64 ms) const;
    // The bubble's text at a time: the time, and the chapter's title.
    QString bubbleText(qint64 ms) const;

    // The time bubble; null until the slider was first shown or hovered.
    QLabel* bubble() const { return m_bubble; }

signals:
    void seekRequested(qint64 ms);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    int valueAtX(int x) const;
    void ensureBubble();

    // Parented outside the bar, so it can float over the video; that parent
    // may delete it first, hence the guarded pointer.
    QPointer<QLabel> m_bubble;
    qint64 m_duration = 0;
    QList<ChapterMark> m_chapters;  // by start
};
