#pragma once

#include <QString>
#include <QWidget>
#include <functional>

class QTimer;

namespace AntiPiracy {

// The identity overlay laid over the picture: the viewer's name and the time
// in two opposite corners that move on clockwise every few seconds, and a
// larger line near the centre, all at a slowly pulsing low opacity. A
// recording made anyway carries who watched and when. Clicks pass through.
class Watermark : public QWidget
{
    Q_OBJECT

public:
    // Milliseconds since the epoch; drives the drawn time, the pulse and the
    // corner moves.
    using Clock = std::function<qint64()>;

    // How often the overlay repaints (the drawn time shows seconds).
    static constexpr int kTickMs = 500;
    // How long the items stay in one corner.
    static constexpr qint64 kCornerHoldMs = 3000;
    // Length of one rise-and-fall of the opacity.
    static constexpr qint64 kPulseMs = 3000;

    // With no clock given, the system clock is used and the corner schedule
    // is shared by every overlay of the process; an overlay with its own
    // clock keeps its own schedule.
    explicit Watermark(QWidget* parent = nullptr, Clock clock = {});

    // userText empty draws "Guest"; deviceTag is kept but not drawn.
    void setInfo(const QString& userText, const QString& deviceTag);

    // 0 top-left, 1 top-right, 2 bottom-right, 3 bottom-left: the name's corner.
    int cornerPhase() const { return m_cornerPhase; }
    // The opacity at a time elapsed since construction: 0.12 rising to 0.28
    // half a cycle later and back.
    static double opacityAt(qint64 elapsedMs);

public slots:
    void tick();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Where a text of this size starts (its baseline's left end) in a corner
    // (0-3 clockwise from top left) or, for -1, on the centre line.
    QPoint textOrigin(int corner, int textWidth, int textHeight) const;
    qint64 now() const;

    QString m_userText;
    QString m_deviceTag;
    QTimer* m_timer;
    int m_cornerPhase = 0;
    qint64 m_startMs;
    Clock m_clock;
    qint64 m_ownLastSwitch = -1;  // used only with an injected clock; -1 until the first tick
};

}  // namespace AntiPiracy
