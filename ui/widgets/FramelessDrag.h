#pragma once

#include <QPoint>

class QMouseEvent;
class QWidget;

// Dragging a frameless window with the left button. The desktop's own move
// loop is asked for first (it follows the pointer on X11, Wayland and
// Windows alike and knows about screen edges); where it refuses, as on
// platforms without a window manager, the window follows the stored offset
// between the pointer and its frame's top-left corner.
class FramelessDrag
{
public:
    // Returns true when the event started a drag of window().
    bool press(QWidget* window, QMouseEvent* event);
    // Starts a drag of window grabbed at globalPos, for callers that wait for
    // the pointer to travel before dragging (so a click or a double-click on
    // a title bar stays one). Returns true when the system took over.
    bool begin(QWidget* window, const QPoint& globalPos);
    // Returns true when the event moved the window.
    bool move(QWidget* window, QMouseEvent* event);
    void release() { m_dragging = false; }

    bool dragging() const { return m_dragging; }
    QPoint dragOffset() const { return m_dragOffset; }

private:
    bool m_dragging = false;  // left button went down and the system did not take over
    QPoint m_dragOffset;      // global press position minus the frame's top-left
};
