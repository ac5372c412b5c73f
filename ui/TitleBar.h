#pragma once

#include <QPoint>
#include <QWidget>

#include "FramelessDrag.h"

class QLabel;
class QPushButton;

// The frameless main window's caption: logo, product name, the settings and
// window buttons. It moves its window when dragged and asks for maximise on a
// double-click; everything else it only reports, and the window acts.
class TitleBar : public QWidget
{
    Q_OBJECT

public:
    explicit TitleBar(QWidget* parent = nullptr);

    // The role tag names no role today, so it stays hidden for every account.
    void setMerchant(bool isMerchant);

signals:
    void minimizeClicked();
    void maximizeClicked();
    void closeClicked();
    void settingsClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void setRoleText(const QString& text);
    // Drags the top-level window grabbed at pressPos; a maximised window is
    // restored first, under the grabbed point.
    void beginDrag(const QPoint& pressPos);

    QLabel* m_roleTag = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QPushButton* m_minimizeButton = nullptr;
    QPushButton* m_maximizeButton = nullptr;
    QPushButton* m_closeButton = nullptr;
    FramelessDrag m_drag;
    bool m_pressed = false;  // left button down on the bar, no drag started yet
    QPoint m_pressPos;       // global position of that press
};
