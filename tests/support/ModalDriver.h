#pragma once

// Drives a modal dialog from inside its own event loop, so a test that calls
// a function which runs exec() never waits for a person. The action runs
// once the dialog is the active modal widget; if none appears within the
// limit, the action is given nullptr, so the test fails instead of hanging.
#include <QApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace ModalDriver {

inline void whenModal(std::function<void(QWidget*)> action, int limitMs = 5000)
{
    auto deadline = std::make_shared<QDeadlineTimer>(limitMs);
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [deadline, poll, action]() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible()) {
            action(modal);
            return;
        }
        if (deadline->hasExpired()) {
            action(nullptr);
            return;
        }
        QTimer::singleShot(10, *poll);
    };
    QTimer::singleShot(0, *poll);
}

}  // namespace ModalDriver
