#pragma once

#include <QLabel>
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

    // The time bubble; null until the slider was first shown or hovered.
    QLabel* bubble() const { return m_bubble; }

signals:
    void seekRequested(qint64 ms);

protected:
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
};
