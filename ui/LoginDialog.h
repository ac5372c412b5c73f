#pragma once

#include <QDialog>
#include <QString>

#include "FramelessDrag.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The frameless login card: user name and password, the "remember password"
// choice, and the authentication manager's answer shown in place. Accepted
// after a successful login; rejected by the close button or Escape.
class LoginDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LoginDialog(QWidget* parent = nullptr);

    // True from a login request until its answer: every further trigger
    // (Return in either field, Return on the card, the button) is ignored.
    bool isBusy() const { return m_busy; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private slots:
    void onLoginClicked();
    void onLoginSucceeded();
    void onLoginFailed(const QString& reason);

private:
    void buildCard();
    void setBusy(bool busy);

    QPushButton* m_closeButton = nullptr;
    QLineEdit* m_userField = nullptr;
    QLineEdit* m_passwordField = nullptr;
    QCheckBox* m_rememberBox = nullptr;
    QPushButton* m_loginButton = nullptr;
    QLabel* m_errorLabel = nullptr;
    FramelessDrag m_drag;
    bool m_busy = false;  // a login of this card is in flight; GUI thread only
};
