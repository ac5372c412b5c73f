#include "SessionBus.h"

#include <QStandardPaths>

PrivateSessionBus::~PrivateSessionBus()
{
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(3000)) {
            m_daemon.kill();
            m_daemon.waitForFinished(3000);
        }
    }
}

bool PrivateSessionBus::start(QString* why)
{
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) {
        *why = QStringLiteral("dbus-daemon is needed (package dbus-daemon)");
        return false;
    }
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--session"), QStringLiteral("--nofork"),
                    QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(5000) || !m_daemon.waitForReadyRead(5000)) {
        *why = QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString();
        return false;
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    if (m_address.isEmpty()) {
        *why = QStringLiteral("dbus-daemon gave no address");
        return false;
    }
    return true;
}

QDBusConnection PrivateSessionBus::connect(const QString& name) const
{
    return QDBusConnection::connectToBus(m_address, name);
}

bool FakeScreenSaver::serveOn(QDBusConnection bus)
{
    return bus.registerObject(QStringLiteral("/org/freedesktop/ScreenSaver"), this,
                              QDBusConnection::ExportAllSlots) &&
           bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver"));
}

void FakeScreenSaver::withdraw(QDBusConnection bus)
{
    bus.unregisterService(QStringLiteral("org.freedesktop.ScreenSaver"));
    bus.unregisterObject(QStringLiteral("/org/freedesktop/ScreenSaver"));
}

void FakeScreenSaver::answerHeldBack(const QDBusConnection& bus)
{
    for (const QDBusMessage& m : std::as_const(m_heldBack)) {
        bus.send(m);
    }
    m_heldBack.clear();
}

uint FakeScreenSaver::Inhibit(const QString& app, const QString& reason)
{
    calls << QStringLiteral("Inhibit %1 %2").arg(app, reason);
    const uint cookie = m_next++;
    active.insert(cookie);
    if (holdAnswers) {
        setDelayedReply(true);
        m_heldBack << message().createReply(QVariant::fromValue(cookie));
    }
    return cookie;
}

void FakeScreenSaver::UnInhibit(uint cookie)
{
    calls << QStringLiteral("UnInhibit %1").arg(cookie);
    active.remove(cookie);
}
