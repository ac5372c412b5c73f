#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QWidget>
#include <functional>

class QTimer;

// Hides the control bar after a spell without mouse activity while a video
// plays, and brings it back on the next movement. The bar never disappears
// from under a cursor resting on it.
class ControlBarManager : public QObject
{
    Q_OBJECT

public:
    // How long the bar stays after the last mouse activity.
    static constexpr int kHideDelayMs = 2500;

    ControlBarManager(QWidget* controlBar, QWidget* videoArea, QObject* parent = nullptr);

    void setAutoHide(bool on);
    bool autoHide() const { return m_autoHide; }
    void notifyActivity();
    void notifyLeave();

    // The countdown, so a caller (or a test) can see whether it runs.
    QTimer* hideTimer() const { return m_hideTimer; }
    // Where the global cursor is; the desktop's cursor unless replaced.
    void setCursorSource(std::function<QPoint()> source);

public slots:
    void onHideTimeout();

private:
    void showBar();

    // Owned by the page's widget tree, which may go first.
    QPointer<QWidget> m_controlBar;
    QPointer<QWidget> m_videoArea;
    QTimer* m_hideTimer;
    bool m_autoHide = false;
    std::function<QPoint()> m_cursor;
};
