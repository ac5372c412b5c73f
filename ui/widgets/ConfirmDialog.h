#pragma once

#include <QDialog>

#include "FramelessDrag.h"

class QPushButton;

// The program's one message card: a frameless, modal, dark card for questions
// (confirm) and notices (alert). Every text on it is shown as plain text,
// since messages often carry server sentences and file names.
class ConfirmDialog : public QDialog
{
    Q_OBJECT

public:
    enum DialogKind
    {
        Info = 0,
        Warning = 1
    };

    // An empty cancelText means the card has no cancel button.
    ConfirmDialog(const QString& title, const QString& message, const QString& okText,
                  const QString& cancelText, int kind, QWidget* parent = nullptr);

    // Asks a question in the Info look; true exactly when the user accepted.
    static bool confirm(QWidget* parent, const QString& title, const QString& message,
                        const QString& okText = QStringLiteral("确定"),
                        const QString& cancelText = QStringLiteral("取消"));
    // Shows a notice with a single button.
    static void alert(QWidget* parent, const QString& title, const QString& message,
                      int kind = Warning, const QString& okText = QStringLiteral("我知道了"));

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    FramelessDrag m_drag;
};
