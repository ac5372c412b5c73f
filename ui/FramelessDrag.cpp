#include "FramelessDrag.h"

#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

bool FramelessDrag::press(QWidget* window, QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        return false;
    }
    QWindow* handle = window->windowHandle();
    if (handle && handle->startSystemMove()) {
        m_dragging = false;
        return true;
    }
    m_dragging = true;
    m_dragOffset = event->globalPosition().toPoint() - window->frameGeometry().topLeft();
    return true;
}

bool FramelessDrag::move(QWidget* window, QMouseEvent* event)
{
    if (!m_dragging || !(event->buttons() & Qt::LeftButton)) {
        return false;
    }
    window->move(event->globalPosition().toPoint() - m_dragOffset);
    return true;
}
