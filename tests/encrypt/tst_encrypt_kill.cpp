// A merchant's program killed while its keys are on their way to the
// reference server: whatever moment it dies, every container it left on disk
// has its key on the server. The network in between is slow on purpose, so
// the moment the program dies is one where a key is still in flight.
#include <QDir>
#include <QHash>
#include <QProcess>
#include <QQueue>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "CryptoUtils.h"
#include "ServerProcess.h"
#include "TestFiles.h"

namespace {

const char* const kMerchant = "shop";
const char* const kPassword = "shop-password-1";

// Stands between the program and the server and holds every byte the
// program sends for delayMs, as a slow network would. When the program's
// side goes away, whatever it sent that is still held never arrives.
class SlowProxy : public QObject
{
public:
    SlowProxy(quint16 target, int delayMs) : m_target(target), m_delayMs(delayMs)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &SlowProxy::onConnection);
        m_flush.setInterval(10);
        connect(&m_flush, &QTimer::timeout, this, &SlowProxy::flush);
        m_flush.start();
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost); }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }
    // A key registration has reached the proxy (and is held there).
    bool sawKeyUpload() const { return m_sawKeyUpload; }

private:
    struct Held
    {
        QDeadlineTimer due;
        QByteArray bytes;
    };

    void onConnection()
    {
        while (QTcpSocket* client = m_server.nextPendingConnection()) {
            auto* upstream = new QTcpSocket(client);
            upstream->connectToHost(QHostAddress::LocalHost, m_target);
            connect(client, &QTcpSocket::readyRead, this, [this, client] {
                const QByteArray bytes = client->readAll();
                m_sawKeyUpload = m_sawKeyUpload || bytes.contains("/api/merchant/keys");
                m_held[client].enqueue({QDeadlineTimer(m_delayMs), bytes});
            });
            connect(upstream, &QTcpSocket::readyRead, client,
                    [client, upstream] { client->write(upstream->readAll()); });
            connect(client, &QTcpSocket::disconnected, this, [this, client] {
                m_held.remove(client);
                client->deleteLater();  // and its upstream with it, unsent bytes dropped
            });
            connect(upstream, &QTcpSocket::disconnected, client,
                    [client] { client->disconnectFromHost(); });
        }
    }

    void flush()
    {
        for (auto it = m_held.begin(); it != m_held.end(); ++it) {
            auto* upstream = it.key()->findChild<QTcpSocket*>();
            while (upstream && !it->isEmpty() && it->head().due.hasExpired() &&
                   upstream->state() == QAbstractSocket::ConnectedState) {
                upstream->write(it->dequeue().bytes);
            }
        }
    }

    QTcpServer m_server;
    QTimer m_flush;
    quint16 m_target;
    int m_delayMs;
    bool m_sawKeyUpload = false;
    QHash<QTcpSocket*, QQueue<Held>> m_held;
};

}  // namespace

class TestEncryptKill : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ServerProcess m_srv{m_dir.filePath("data")};

    QString registeredKeys()
    {
        const ServerProcess::Run r = m_srv.admin({"key", "list"});
        return r.exitCode == 0 ? QString::fromUtf8(r.out) : QString("<key list failed>");
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(ServerProcess::binary()).isExecutable(),
                 "VEILCAST_SERVER_BIN names no program");
        QVERIFY2(QFileInfo(qEnvironmentVariable("VEILCAST_ENCRYPT_HELPER")).isExecutable(),
                 "VEILCAST_ENCRYPT_HELPER names no program");
        QCOMPARE(m_srv.admin({"merchant", "add", "甲商家"}).exitCode, 0);
        QCOMPARE(
            m_srv
                .admin({"user", "add", kMerchant, "--role", "merchant", "--merchant", "甲商家"},
                       QByteArray(kPassword) + "\n")
                .exitCode,
            0);
        const QString failure = m_srv.start({});
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanupTestCase() { m_srv.stop(); }

    void killedWhileKeysAreOnTheWay_data()
    {
        QTest::addColumn<bool>("atFirstContainer");
        QTest::newRow("killed as the first container appears") << true;
        QTest::newRow("killed while a key registration is held") << false;
    }

    void killedWhileKeysAreOnTheWay()
    {
        QFETCH(bool, atFirstContainer);
        QTemporaryDir work;
        const QString out = work.filePath("out");
        QStringList sources;
        for (const char* name : {"第一课.mp4", "第二课.mkv", "第三课.mov"}) {
            sources << work.filePath(QString::fromUtf8(name));
            QVERIFY(writeSilentWav(sources.last(), 400000));
        }

        SlowProxy proxy(quint16(m_srv.port()), 1500);
        QVERIFY(proxy.listen());
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VEILCAST_SERVER_URL", proxy.url());
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(qEnvironmentVariable("VEILCAST_ENCRYPT_HELPER"),
                      QStringList{kMerchant, kPassword, out} + sources);
        QVERIFY(program.waitForStarted(10000));

        const auto containers = [&] {
            return QDir(out).entryList({"*.vcz"}, QDir::Files | QDir::Hidden);
        };
        const bool moment = QTest::qWaitFor(
            [&] {
                return program.state() == QProcess::NotRunning ||
                       (atFirstContainer ? !containers().isEmpty() : proxy.sawKeyUpload());
            },
            60000);
        program.kill();  // SIGKILL: no handler, no clean-up of any kind
        QVERIFY(program.waitForFinished(10000));
        QVERIFY2(moment, "the program never got that far");
        QVERIFY2(program.exitStatus() == QProcess::CrashExit,
                 "the program ended by itself before it was killed");
        QTest::qWait(200);  // anything still travelling reaches the server

        const QString keys = registeredKeys();
        const QStringList left = containers();
        if (atFirstContainer) {
            QVERIFY(!left.isEmpty());
        }
        for (const QString& name : left) {
            QByteArray keyId, iv;
            QVERIFY(CryptoUtils::readContainerHeader(QDir(out).filePath(name), keyId, iv));
            const QString dashed = CryptoUtils::formatVideoId(QByteArray::fromHex(keyId));
            QVERIFY2(keys.contains(dashed),
                     qPrintable(name + " is on disk, its key " + dashed + " is not on the server"));
        }
    }
};

QTEST_GUILESS_MAIN(TestEncryptKill)
#include "tst_encrypt_kill.moc"
