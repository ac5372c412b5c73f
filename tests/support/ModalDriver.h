#pragma once

// Drives a modal dialog from inside its own event loop, so a test that calls
// a function which runs exec() never waits for a person. The action runs
// once the dialog is the active modal widget; if none appears within the
// limit, the action is given nullptr, so the test fails instead of hanging.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace ModalDriver {

inline void whenModal(std::function<void(QWidget*)> action, int limitMs = 5000)
{
    // A polling timer owned by the application: it ends itself once the
    // action has run, and the application frees it should the test end
    // first, so nothing is left behind (the address sanitizer run checks).
    auto* poll = new QTimer(qApp);
    poll->setInterval(10);
    const QDeadlineTimer deadline(limitMs);
    const auto look = [poll, deadline, action] {
        QWidget* modal = QApplication::activeModalWidget();
        const bool shown = modal && modal->isVisible();
        if (!shown && !deadline.hasExpired()) {
            return;
        }
        poll->stop();
        poll->deleteLater();
        const auto act = action;  // the action may spin an event loop of its own
        act(shown ? modal : nullptr);
    };
    QObject::connect(poll, &QTimer::timeout, poll, look);
    // The first look as soon as events run (a dialog being opened by the
    // caller is often already there), then every interval.
    QMetaObject::invokeMethod(poll, look, Qt::QueuedConnection);
    poll->start();
}

// Accepts the next message card within limitMs and keeps its message in
// *text; *looked turns true once the wait is over, card or no card.
inline void acceptNextCard(QString* text, bool* looked, int limitMs = 5000)
{
    whenModal(
        [text, looked](QWidget* modal) {
            *looked = true;
            if (modal) {
                if (auto* message = modal->findChild<QLabel*>(QStringLiteral("confirmMsg"))) {
                    *text = message->text();
                }
                static_cast<QDialog*>(modal)->accept();
            }
        },
        limitMs);
}

}  // namespace ModalDriver
