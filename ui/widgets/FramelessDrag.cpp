#include "FramelessDrag.h"

#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

bool FramelessDrag::press(QWidget* window, QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        return false;
    }
    begin(window, event->globalPosition().toPoint());
    return true;
}

bool FramelessDrag::begin(QWidget* window, const QPoint& globalPos)
{
    QWindow* handle = window->windowHandle();
    if (handle && handle->startSystemMove()) {
        m_dragging = false;
        return true;
    }
    m_dragging = true;
    m_dragOffset = globalPos - window->frameGeometry().topLeft();
    return false;
}

bool FramelessDrag::move(QWidget* window, QMouseEvent* event)
{
    if (!m_dragging || !(event->buttons() & Qt::LeftButton)) {
        return false;
    }
    window->move(event->globalPosition().toPoint() - m_dragOffset);
    return true;
}
