// The program's session loop against the reference server: which session
// asks for a password, which one is silent, and that every window gets its
// user once however often the account is switched. The Application is the
// test's QApplication, so its loop runs for real; each case drives it from
// a polling script, and a script that stalls unwinds the loop and fails.
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <deque>
#include <functional>

#include "AppConfig.h"
#include "Application.h"
#include "AuthManager.h"
#include "ConfirmDialog.h"
#include "EncryptorWidget.h"
#include "LoginDialog.h"
#include "MainWindow.h"
#include "ModalDriver.h"
#include "ScreenshotKeys.h"
#include "ServerProcess.h"
#include "TestFiles.h"

namespace {

// Generous: the machine running the tests may be busy with builds.
constexpr int kStepLimitMs = 20000;
constexpr int kPollMs = 10;

struct Account
{
    const char* name;
    const char* password;
};
constexpr Account kViewer{"viewer", "pw-viewer-1"};
constexpr Account kMerchant{"shop", "pw-shop-1"};

QStringList namesOf(const std::vector<std::string>& names)
{
    QStringList out;
    for (const std::string& n : names) {
        out.append(QString::fromStdString(n));
    }
    return out;
}

QString lineWith(const QString& text, const QString& part)
{
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (line.contains(part)) {
            return line;
        }
    }
    return {};
}

LoginDialog* activeLogin()
{
    auto* dialog = qobject_cast<LoginDialog*>(QApplication::activeModalWidget());
    return dialog && dialog->isVisible() ? dialog : nullptr;
}

bool typeLogin(const Account& account)
{
    LoginDialog* dialog = activeLogin();
    if (!dialog || dialog->isBusy()) {
        return false;
    }
    for (QLineEdit* f : dialog->findChildren<QLineEdit*>(QStringLiteral("loginInput"))) {
        f->setText(QString::fromUtf8(f->echoMode() == QLineEdit::Password ? account.password
                                                                          : account.name));
    }
    dialog->findChild<QPushButton*>(QStringLiteral("loginBtn"))->click();
    return true;
}

MainWindow* shownWindow()
{
    auto* app = static_cast<Application*>(qApp);
    MainWindow* w = app->mainWindow();
    return w && w->isVisible() && !QApplication::activeModalWidget() ? w : nullptr;
}

// Runs steps from the event loop, each polled until it reports done. When a
// step does not finish in time the script closes whatever is open, so the
// session loop returns, and remembers the step that stalled.
class Script : public QObject
{
public:
    using Step = std::function<bool()>;

    explicit Script(std::deque<std::pair<QString, Step>> steps) : m_steps(std::move(steps))
    {
        m_timer.setInterval(kPollMs);
        connect(&m_timer, &QTimer::timeout, this, &Script::poll);
        m_timer.start();
        m_deadline.setRemainingTime(kStepLimitMs);
    }

    QString stalledAt() const { return m_stalled; }
    bool finished() const { return m_steps.empty() && m_stalled.isEmpty(); }

private:
    void poll()
    {
        if (!m_stalled.isEmpty()) {
            unwind();
            return;
        }
        if (m_steps.empty()) {
            m_timer.stop();
            return;
        }
        if (m_steps.front().second()) {
            m_steps.pop_front();
            m_deadline.setRemainingTime(kStepLimitMs);
        } else if (m_deadline.hasExpired()) {
            m_stalled = m_steps.front().first;
        }
    }

    void unwind()
    {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                dialog->reject();
            }
        } else if (MainWindow* w = static_cast<Application*>(qApp)->mainWindow()) {
            w->close();
        }
    }

    std::deque<std::pair<QString, Step>> m_steps;
    QTimer m_timer;
    QDeadlineTimer m_deadline;
    QString m_stalled;
};

}  // namespace

class TestSessionLoop : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ServerProcess m_srv{m_dir.path()};
    int m_loginDialogsShown = 0;
    QList<QPointer<MainWindow>> m_windows;
    // Per window, in the order the sessions made them (a new window may
    // reuse a deleted one's address).
    QList<int> m_userSetCount;
    QStringList m_userIds;

    Application* app() { return static_cast<Application*>(qApp); }

    // Counts login cards as they appear and follows every new window.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<LoginDialog*>(watched)) {
            ++m_loginDialogsShown;
        }
        return false;
    }

    void watchWindow()
    {
        MainWindow* w = app()->mainWindow();
        if (w && !m_windows.contains(w)) {
            const qsizetype index = m_windows.size();
            m_windows << w;
            m_userSetCount << 0;
            m_userIds << QString();
            connect(w, &MainWindow::userSet, this, [this, index](const QString& id) {
                ++m_userSetCount[index];
                m_userIds[index] = id;
            });
        }
    }

    // Runs the program's loop under a script; the loop's result is checked
    // by the caller.
    int runUnder(Script& script)
    {
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, this, &TestSessionLoop::watchWindow);
        watcher.start(1);
        const int code = app()->run();
        watcher.stop();
        return code;
    }

    Script::Step loginAs(const Account& account)
    {
        return [account] { return typeLogin(account); };
    }

    static Script::Step windowShown()
    {
        return [] { return shownWindow() != nullptr; };
    }

    static Script::Step switchAccount()
    {
        return [] {
            MainWindow* w = shownWindow();
            if (!w) {
                return false;
            }
            w->findChild<QPushButton*>(QStringLiteral("switchBtn"))->click();
            return true;
        };
    }

    static Script::Step closeWindow()
    {
        return [] {
            MainWindow* w = shownWindow();
            return w && w->close();
        };
    }

    static Script::Step rejectLogin()
    {
        return [] {
            LoginDialog* d = activeLogin();
            if (d) {
                d->reject();
            }
            return d != nullptr;
        };
    }

    QString savedTokenFor(const Account& account)
    {
        AuthManager* auth = AuthManager::instance();
        QSignalSpy ok(auth, &AuthManager::loginSucceeded);
        QSignalSpy failed(auth, &AuthManager::loginFailed);
        auth->login(QString::fromUtf8(account.name), QString::fromUtf8(account.password));
        if (!QTest::qWaitFor([&] { return ok.size() + failed.size() > 0; }, kStepLimitMs) ||
            !failed.isEmpty()) {
            return {};
        }
        return AppConfig::instance()->token();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(ServerProcess::binary()).isExecutable(),
                 "VEILCAST_SERVER_BIN names no program");
        QVERIFY(m_dir.isValid());
        QCOMPARE(m_srv.admin({"merchant", "add", "Shop"}).exitCode, 0);
        QCOMPARE(
            m_srv
                .admin({"user", "add", kMerchant.name, "--role", "merchant", "--merchant", "Shop"},
                       QByteArray(kMerchant.password) + "\n")
                .exitCode,
            0);
        QCOMPARE(m_srv
                     .admin({"user", "add", kViewer.name, "--role", "viewer"},
                            QByteArray(kViewer.password) + "\n")
                     .exitCode,
                 0);
        const QString failure = m_srv.start({});
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        // Read when the authentication manager first talks to the server.
        qputenv("VEILCAST_SERVER_URL", "http://127.0.0.1:" + QByteArray::number(m_srv.port()));
        qApp->installEventFilter(this);
        // Watched from its making: a login answered within the first turn of
        // the loop would otherwise set the user before anyone listened.
        connect(app(), &Application::windowCreated, this, &TestSessionLoop::watchWindow);
    }

    void init()
    {
        QSettings(QStringLiteral("Veilcast"), QStringLiteral("Veilcast")).clear();
        // The notice has a case of its own; elsewhere it would only be one
        // more card to click away.
        QSettings(QStringLiteral("Veilcast"), QStringLiteral("Veilcast"))
            .setValue(QStringLiteral("antipiracy/noticeShown"), true);
        AuthManager::instance()->logout();
        m_loginDialogsShown = 0;
        // The last window of a case lives on until the next session starts.
        for (const QPointer<MainWindow>& w : std::as_const(m_windows)) {
            if (w) {
                disconnect(w, nullptr, this, nullptr);
            }
        }
        m_windows.clear();
        m_userSetCount.clear();
        m_userIds.clear();
    }

    void noTokenAsksAtOnceAndCancelEndsWithZero()
    {
        QVERIFY(AppConfig::instance()->token().isEmpty());
        Script script({{"login card", rejectLogin()}});
        QCOMPARE(runUnder(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.stalledAt()));
        QCOMPARE(m_loginDialogsShown, 1);
        QVERIFY(app()->mainWindow() && !app()->mainWindow()->isVisible());
    }

    void acceptedTokenOpensTheWindowWithoutCard()
    {
        const QString token = savedTokenFor(kViewer);
        QVERIFY(!token.isEmpty());
        Script script({{"window", windowShown()}, {"close", closeWindow()}});
        QCOMPARE(runUnder(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.stalledAt()));
        QCOMPARE(m_loginDialogsShown, 0);
        QCOMPARE(m_windows.size(), 1);
        QCOMPARE(m_userSetCount.at(0), 1);
        QVERIFY(!m_userIds.at(0).isEmpty());
        // Closing the window by the system's means keeps the login.
        QVERIFY(!AppConfig::instance()->token().isEmpty());
    }

    void unreachableServerFallsBackToTheCard()
    {
        const QString token = savedTokenFor(kViewer);
        QVERIFY(!token.isEmpty());
        const int port = m_srv.port();
        m_srv.stop();
        bool tokenGoneWhenAsked = false;
        Script script({{"login card after the silent attempt", [&] {
                            if (!activeLogin()) {
                                return false;
                            }
                            tokenGoneWhenAsked = AppConfig::instance()->token().isEmpty();
                            activeLogin()->reject();
                            return true;
                        }}});
        const int code = runUnder(script);
        const QString failure = m_srv.start({}, port);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QCOMPARE(code, 0);
        QVERIFY2(script.finished(), qPrintable(script.stalledAt()));
        QCOMPARE(m_loginDialogsShown, 1);
        QVERIFY(tokenGoneWhenAsked);
    }

    void switchesGiveEachWindowItsUserOnce()
    {
        QPointer<MainWindow> first;
        QPointer<MainWindow> second;
        bool merchantTabs = false;
        bool viewerTabsHidden = false;
        Script script({
            {"viewer login", loginAs(kViewer)},
            {"viewer window",
             [&] {
                 MainWindow* w = shownWindow();
                 if (!w) {
                     return false;
                 }
                 first = w;
                 // The hidden tab row cannot reach the encryption page.
                 QWidget* tabs = w->findChild<QWidget*>(QStringLiteral("tabBar"));
                 for (QPushButton* tab : tabs->findChildren<QPushButton*>()) {
                     tab->click();
                 }
                 viewerTabsHidden = !tabs->isVisible() && w->currentPage() == 0;
                 return true;
             }},
            {"first switch", switchAccount()},
            {"merchant login", loginAs(kMerchant)},
            {"merchant window",
             [&] {
                 MainWindow* w = shownWindow();
                 if (!w) {
                     return false;
                 }
                 second = w;
                 QWidget* tabs = w->findChild<QWidget*>(QStringLiteral("tabBar"));
                 QPushButton* encryptTab = nullptr;
                 QPushButton* playerTab = nullptr;
                 for (QPushButton* tab : tabs->findChildren<QPushButton*>()) {
                     (tab->property("tabIndex").toInt() == 1 ? encryptTab : playerTab) = tab;
                 }
                 encryptTab->click();
                 merchantTabs = tabs->isVisible() && w->currentPage() == 1 &&
                                encryptTab->objectName() == "tabActive" &&
                                playerTab->objectName() == "tabInactive";
                 return true;
             }},
            {"second switch", switchAccount()},
            {"viewer again", loginAs(kViewer)},
            {"third window", windowShown()},
            {"close", closeWindow()},
        });
        QCOMPARE(runUnder(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.stalledAt()));
        QCOMPARE(m_loginDialogsShown, 3);
        QCOMPARE(m_windows.size(), 3);
        QCOMPARE(m_userSetCount, QList<int>({1, 1, 1}));
        // Each session's window goes when the next one starts.
        QVERIFY(first.isNull());
        QVERIFY(second.isNull());
        QVERIFY(viewerTabsHidden);
        QVERIFY(merchantTabs);
        QVERIFY(m_userIds.at(0) != m_userIds.at(1));
        QCOMPARE(m_userIds.at(0), m_userIds.at(2));
    }

    void cancelInTheSecondSessionEndsWithZero()
    {
        Script script({{"login", loginAs(kViewer)},
                       {"window", windowShown()},
                       {"switch", switchAccount()},
                       {"second card", rejectLogin()}});
        QCOMPARE(runUnder(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.stalledAt()));
        QCOMPARE(m_loginDialogsShown, 2);
        // The switch logged out: the next start asks again.
        QVERIFY(AppConfig::instance()->token().isEmpty());
    }

    void noticeOnceAndOnlyWhatHolds()
    {
        QSettings(QStringLiteral("Veilcast"), QStringLiteral("Veilcast"))
            .remove(QStringLiteral("antipiracy/noticeShown"));
        QString noticeText;
        bool windowHiddenDuringNotice = false;
        Script script({{"login", loginAs(kViewer)},
                       {"notice",
                        [&] {
                            auto* card =
                                qobject_cast<ConfirmDialog*>(QApplication::activeModalWidget());
                            if (!card) {
                                return false;
                            }
                            noticeText =
                                card->findChild<QLabel*>(QStringLiteral("confirmMsg"))->text();
                            windowHiddenDuringNotice = !app()->mainWindow()->isVisible();
                            card->accept();
                            return true;
                        }},
                       {"window", windowShown()},
                       {"switch", switchAccount()},
                       {"login again", loginAs(kViewer)},
                       {"window again, no notice", windowShown()},
                       {"close", closeWindow()}});
        QCOMPARE(runUnder(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.stalledAt()));
        QVERIFY(windowHiddenDuringNotice);
        // Offscreen nothing can be excluded from capture nor any key held:
        // the notice must not claim either.
        QCOMPARE(noticeText, Application::protectionNotice(false, {}, {}));
        QVERIFY(!noticeText.contains(QStringLiteral("无法被截屏")));
        QVERIFY(!noticeText.contains(QStringLiteral("已被拦截")));
        QVERIFY(QSettings(QStringLiteral("Veilcast"), QStringLiteral("Veilcast"))
                    .value(QStringLiteral("antipiracy/noticeShown"))
                    .toBool());
    }

    void closingWhileEncryptingAsksThenCancels()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // Large enough that its encryption is surely still running when the
        // window is closed; sparse, so making it costs nothing.
        const QString source = dir.filePath(QStringLiteral("big.mp4"));
        QVERIFY(writeSilentWav(source, qint64(1) << 30));
        const QString out = dir.filePath(QStringLiteral("out"));
        // Its key is registered before anything is written.
        QVERIFY(!savedTokenFor(kMerchant).isEmpty());

        MainWindow window;
        UserInfo merchant;
        merchant.userId = QStringLiteral("m-1");
        merchant.displayName = QStringLiteral("Shop");
        merchant.isMerchant = true;
        window.setUser(merchant);
        window.show();
        EncryptorWidget* page = window.encryptionPage();
        page->setOutputDir(out);
        page->addFiles({source});
        page->onStartEncrypt();
        QVERIFY(QTest::qWaitFor(
            [&] { return page->status(source) == EncryptorWidget::Status::Encrypting; },
            kStepLimitMs));

        // Declined: the window stays and the work goes on.
        QString question;
        ModalDriver::whenModal([&](QWidget* modal) {
            QVERIFY(modal);
            question = modal->findChild<QLabel*>(QStringLiteral("confirmMsg"))->text();
            static_cast<QDialog*>(modal)->reject();
        });
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QVERIFY(page->isBusy());
        QVERIFY(question.contains(QStringLiteral("正在加密或上传")));

        // Confirmed: the work stops before the window goes and leaves no
        // half-written container behind.
        ModalDriver::whenModal([](QWidget* modal) {
            QVERIFY(modal);
            static_cast<QDialog*>(modal)->accept();
        });
        QVERIFY(window.close());
        QVERIFY(!page->isBusy());
        QCOMPARE(page->status(source), EncryptorWidget::Status::Failed);
        QVERIFY(QDir(out).entryList(QDir::Files | QDir::Hidden).isEmpty());
    }

    void keyWaitingForARetryIsNotDroppedSilently_data()
    {
        QTest::addColumn<bool>("switching");
        QTest::newRow("closing") << false;
        QTest::newRow("switching account") << true;
    }

    void keyWaitingForARetryIsNotDroppedSilently()
    {
        QFETCH(bool, switching);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString source = dir.filePath(QStringLiteral("第二课.mp4"));
        QVERIFY(writeSilentWav(source, 100000));

        // A server that cannot be reached leaves the key's fate open.
        const QByteArray serverUrl = qgetenv("VEILCAST_SERVER_URL");
        qputenv("VEILCAST_SERVER_URL", "http://127.0.0.1:1");
        MainWindow window;
        qputenv("VEILCAST_SERVER_URL", serverUrl);
        UserInfo merchant;
        merchant.userId = QStringLiteral("m-1");
        merchant.isMerchant = true;
        window.setUser(merchant);
        window.show();
        EncryptorWidget* page = window.encryptionPage();
        page->setOutputDir(dir.filePath(QStringLiteral("out")));
        page->addFiles({source});
        page->onStartEncrypt();
        QVERIFY(QTest::qWaitFor(
            [&] { return page->status(source) == EncryptorWidget::Status::UploadRetry; },
            kStepLimitMs));
        QSignalSpy switched(&window, &MainWindow::switchAccountRequested);
        const auto leave = [&] {
            if (switching) {
                window.onSwitchAccount();
                return switched.size() == 1;
            }
            return window.close();
        };

        // Declined: nothing ends, the key stays with its row.
        QString question;
        ModalDriver::whenModal([&](QWidget* modal) {
            QVERIFY(modal);
            question = modal->findChild<QLabel*>(QStringLiteral("confirmMsg"))->text();
            static_cast<QDialog*>(modal)->reject();
        });
        QVERIFY(!leave());
        QVERIFY(window.isVisible());
        QCOMPARE(page->status(source), EncryptorWidget::Status::UploadRetry);
        QVERIFY2(question.contains(QStringLiteral("第二课.mp4")), qPrintable(question));
        QCOMPARE(question, MainWindow::interruptQuestion(
                               switching ? QStringLiteral("切换账号") : QStringLiteral("关闭程序"),
                               {QStringLiteral("第二课.mp4")}));

        // Confirmed: the row says what became of it; nothing was written.
        ModalDriver::whenModal([](QWidget* modal) {
            QVERIFY(modal);
            static_cast<QDialog*>(modal)->accept();
        });
        QVERIFY(leave());
        QCOMPARE(page->status(source), EncryptorWidget::Status::Failed);
        QCOMPARE(page->errorText(source), QStringLiteral("加密已取消"));
        QVERIFY(QDir(dir.filePath(QStringLiteral("out"))).entryList(QDir::Files).isEmpty());
    }

    void questionNamesAFewFilesAndCountsTheRest_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("named");
        QTest::addColumn<bool>("counted");
        QTest::newRow("none") << 0 << 0 << false;
        QTest::newRow("one") << 1 << 1 << false;
        QTest::newRow("as many as are named")
            << MainWindow::kNamedFiles << MainWindow::kNamedFiles << false;
        QTest::newRow("more") << MainWindow::kNamedFiles + 3 << MainWindow::kNamedFiles << true;
    }

    void questionNamesAFewFilesAndCountsTheRest()
    {
        QFETCH(int, files);
        QFETCH(int, named);
        QFETCH(bool, counted);
        QStringList names;
        for (int i = 0; i < files; ++i) {
            names << QStringLiteral("第%1课.mp4").arg(i + 1);
        }
        const QString text = MainWindow::interruptQuestion(QStringLiteral("关闭程序"), names);
        QVERIFY(text.startsWith(QStringLiteral("当前有视频正在加密或上传中，关闭程序")));
        QVERIFY(text.endsWith(QStringLiteral("确定继续？")));
        int shown = 0;
        for (const QString& name : names) {
            shown += text.contains(QStringLiteral("· ") + name + QLatin1Char('\n')) ? 1 : 0;
        }
        QCOMPARE(shown, named);
        QCOMPARE(text.contains(QStringLiteral("共 %1 个").arg(files)), counted);
    }

    // The packages are made with CMake's project version: the program must
    // report the same.
    void reportsTheProjectVersion()
    {
        QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral(VEILCAST_PROJECT_VERSION));
    }

    void noticeNamesWhatIsInForce_data()
    {
        QTest::addColumn<bool>("capture");
        QTest::addColumn<bool>("hotkeys");
        QTest::newRow("both") << true << true;
        QTest::newRow("capture only") << true << false;
        QTest::newRow("hotkeys only") << false << true;
        QTest::newRow("neither") << false << false;
    }

    void noticeNamesWhatIsInForce()
    {
        QFETCH(bool, capture);
        QFETCH(bool, hotkeys);
        QStringList all;
        for (const ScreenshotKeys::Hotkey& h : ScreenshotKeys::windowsHotkeys()) {
            all.append(QString::fromLatin1(h.name));
        }
        const QString text =
            Application::protectionNotice(capture, hotkeys ? all : QStringList(), {});
        QCOMPARE(text.contains(QStringLiteral("播放画面无法被截屏或录屏工具捕获")), capture);
        QCOMPARE(text.contains(QStringLiteral("已被拦截")), hotkeys);
        QCOMPARE(text.contains(QStringLiteral("本系统不支持阻止截屏和录屏")), !capture);
        QCOMPARE(text.contains(QStringLiteral("拦截截图快捷键")), !hotkeys);
        QVERIFY(text.contains(QStringLiteral("溯源水印")));
    }

    // The hotkeys are registered one by one through a stand-in for the
    // system; those it refuses (another program owns them) must not take the
    // notice's word for the others away.
    void noticeNamesTheKeysHeld_data()
    {
        QTest::addColumn<QList<int>>("refusedIds");
        QTest::newRow("all held") << QList<int>{};
        QTest::newRow("PrintScreen owned elsewhere") << QList<int>{1};
        QTest::newRow("Win+Shift+S owned elsewhere") << QList<int>{5};
        QTest::newRow("only Ctrl+PrintScreen left") << QList<int>{1, 2, 3, 5};
        QTest::newRow("all owned elsewhere") << QList<int>{1, 2, 3, 4, 5};
    }

    void noticeNamesTheKeysHeld()
    {
        QFETCH(QList<int>, refusedIds);
        QList<int> asked;
        std::vector<int> heldIds;
        const ScreenshotKeys::Outcome outcome = ScreenshotKeys::take(
            ScreenshotKeys::windowsHotkeys(),
            [&](const ScreenshotKeys::Hotkey& h) {
                asked.append(h.id);
                return !refusedIds.contains(h.id);
            },
            &heldIds);
        QCOMPARE(asked, (QList<int>{1, 2, 3, 4, 5}));
        QCOMPARE(int(heldIds.size()), 5 - refusedIds.size());
        for (int id : heldIds) {
            QVERIFY(!refusedIds.contains(id));
        }

        const QStringList held = namesOf(outcome.held);
        const QStringList refused = namesOf(outcome.refused);
        QCOMPARE(held.size() + refused.size(), 5);
        const QString text = Application::protectionNotice(true, held, refused);
        // The keys were there to be taken: never "not supported".
        QVERIFY2(!text.contains(QStringLiteral("拦截截图快捷键")), qPrintable(text));

        const QString heldLine = lineWith(text, QStringLiteral("已被拦截"));
        QCOMPARE(heldLine.isEmpty(), held.isEmpty());
        if (!refused.isEmpty()) {
            for (const QString& name : held) {
                QVERIFY2(heldLine.contains(name), qPrintable(name + " missing: " + text));
            }
            const QString refusedLine = lineWith(text, QStringLiteral("未能拦截"));
            for (const QString& name : refused) {
                QVERIFY2(refusedLine.contains(name), qPrintable(name + " missing: " + text));
                // Names of the held ones may contain a refused one's name
                // ("Alt+PrintScreen" holds "PrintScreen"): count whole items.
                QVERIFY2(
                    !heldLine.split(QRegularExpression(QStringLiteral("[ 、]"))).contains(name),
                    qPrintable(name + " claimed: " + text));
            }
        } else {
            QVERIFY(!text.contains(QStringLiteral("未能拦截")));
        }
    }
};

int main(int argc, char** argv)
{
    Application app(argc, argv);
    TestSessionLoop test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sessionloop.moc"
