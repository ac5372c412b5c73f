#pragma once

// A session bus of the test's own (dbus-daemon), and a desktop screen-saver
// service on it that records what it is told. Linux only.
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>

class PrivateSessionBus
{
public:
    PrivateSessionBus() = default;
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // Starts the daemon; false (with the reason in why) when it cannot.
    bool start(QString* why);
    QString address() const { return m_address; }
    // A new connection of its own to the bus, by that name.
    QDBusConnection connect(const QString& name) const;

private:
    QProcess m_daemon;
    QString m_address;
};

// Stands in for the desktop: hands out cookies from 41 on and records what
// it was told. An answer can be held back to test a release asked for
// meanwhile.
class FakeScreenSaver : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public:
    QStringList calls;  // "Inhibit <app> <reason>" / "UnInhibit <cookie>"
    QSet<uint> active;
    bool holdAnswers = false;

    // Serves on that connection under the desktop's name.
    bool serveOn(QDBusConnection bus);
    void withdraw(QDBusConnection bus);
    void answerHeldBack(const QDBusConnection& bus);

public slots:
    uint Inhibit(const QString& app, const QString& reason);
    void UnInhibit(uint cookie);

private:
    QList<QDBusMessage> m_heldBack;
    uint m_next = 41;
};
