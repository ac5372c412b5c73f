#include "ControlBarManager.h"

#include <QCursor>
#include <QTimer>
#include <QWidget>

ControlBarManager::ControlBarManager(QWidget* controlBar, QWidget* videoArea, QObject* parent)
    : QObject(parent),
      m_controlBar(controlBar),
      m_videoArea(videoArea),
      m_hideTimer(new QTimer(this)),
      m_cursor([] { return QCursor::pos(); })
{
    m_hideTimer->setSingleShot(true);
    m_hideTimer->setInterval(kHideDelayMs);
    connect(m_hideTimer, &QTimer::timeout, this, &ControlBarManager::onHideTimeout);
}

void ControlBarManager::setCursorSource(std::function<QPoint()> source)
{
    m_cursor = std::move(source);
}

void ControlBarManager::setAutoHide(bool on)
{
    m_autoHide = on;
    if (on) {
        showBar();
        m_hideTimer->start();
    } else {
        m_hideTimer->stop();
        showBar();
    }
}

void ControlBarManager::notifyActivity()
{
    showBar();
    if (m_autoHide) {
        m_hideTimer->start();
    } else {
        m_hideTimer->stop();
    }
}

void ControlBarManager::notifyLeave()
{
    if (m_autoHide) {
        m_hideTimer->start();
    }
}

void ControlBarManager::onHideTimeout()
{
    if (!m_autoHide || !m_controlBar) {
        return;
    }
    if (m_controlBar->isVisible() &&
        m_controlBar->rect().contains(m_controlBar->mapFromGlobal(m_cursor()))) {
        // Resting on the bar: it stays, and the next movement restarts the countdown.
        return;
    }
    m_controlBar->hide();
}

void ControlBarManager::showBar()
{
    if (!m_controlBar) {
        return;
    }
    if (m_controlBar->isHidden()) {
        m_controlBar->show();
    }
    m_controlBar->raise();
}
