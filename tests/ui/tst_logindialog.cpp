// The login card against the reference server, started here on loopback over
// a throw-away data directory: what the user sees while logging in, and what
// the card leaves in the settings store.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "AppConfig.h"
#include "AuthManager.h"
#include "LoginDialog.h"
#include "ModalDriver.h"
#include "ServerProcess.h"

namespace {

const QString kViewer = QStringLiteral("viewer");
// Spaces at both ends: the card must send the password exactly as typed.
const QString kPassword = QStringLiteral("  看片-password-1 ");

struct Card
{
    QLineEdit* user = nullptr;
    QLineEdit* password = nullptr;
    QCheckBox* remember = nullptr;
    QPushButton* login = nullptr;
    QPushButton* close = nullptr;
    QLabel* error = nullptr;

    explicit Card(QWidget* dialog)
    {
        for (QLineEdit* field : dialog->findChildren<QLineEdit*>(QStringLiteral("loginInput"))) {
            (field->echoMode() == QLineEdit::Password ? password : user) = field;
        }
        remember = dialog->findChild<QCheckBox*>(QStringLiteral("rememberCheck"));
        login = dialog->findChild<QPushButton*>(QStringLiteral("loginBtn"));
        close = dialog->findChild<QPushButton*>(QStringLiteral("closeBtn"));
        error = dialog->findChild<QLabel*>(QStringLiteral("errorLabel"));
    }
    bool complete() const { return user && password && remember && login && close && error; }
};

QSettings store()
{
    return QSettings(QStringLiteral("Veilcast"), QStringLiteral("Veilcast"));
}

// The stored form, computed here independently of the settings store's code:
// UTF-8 bytes XOR a 13-byte constant, then Base64.
QString scrambled(const QString& password)
{
    static const QByteArray constant("R7v!Kq2#Lm9xT");
    QByteArray bytes = password.toUtf8();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        bytes[i] = char(bytes[i] ^ constant[i % constant.size()]);
    }
    return QString::fromLatin1(bytes.toBase64());
}

}  // namespace

class TestLoginDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ServerProcess m_srv{m_dir.filePath("data")};

    // Logs in through a shown card; returns whether it was accepted.
    bool logIn(LoginDialog& dialog, const QString& user, const QString& password, bool remember)
    {
        Card card(&dialog);
        card.user->setText(user);
        card.password->setText(password);
        card.remember->setChecked(remember);
        QTest::mouseClick(card.login, Qt::LeftButton);
        if (!QTest::qWaitFor([&] { return !dialog.isVisible() || card.error->isVisible(); },
                             15000)) {
            return false;
        }
        if (card.error->isVisible()) {
            qWarning() << "login refused:" << card.error->text();
        }
        return dialog.result() == QDialog::Accepted;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(ServerProcess::binary()).isExecutable(),
                 "VEILCAST_SERVER_BIN names no program");
        QVERIFY(m_dir.isValid());
        const ServerProcess::Run added =
            m_srv.admin({"user", "add", kViewer, "--role", "viewer"}, kPassword.toUtf8() + "\n");
        QVERIFY2(added.exitCode == 0, added.err.constData());
        const QString failure = m_srv.start({});
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        qputenv("VEILCAST_SERVER_URL", "http://127.0.0.1:" + QByteArray::number(m_srv.port()));
    }

    void cleanupTestCase() { m_srv.stop(); }

    void cleanup() { AuthManager::instance()->logout(); }

    void firstStartIsEmpty()
    {
        LoginDialog dialog;
        Card card(&dialog);
        QVERIFY(card.complete());
        QVERIFY(card.user->text().isEmpty());
        QVERIFY(card.password->text().isEmpty());
        QVERIFY(!card.remember->isChecked());
        QCOMPARE(card.login->text(), QStringLiteral("登 录"));
    }

    void emptyInputIsRefusedWithoutRequest_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("both empty") << QString() << QString();
        QTest::newRow("user name of spaces") << QStringLiteral("   ") << kPassword;
        QTest::newRow("no password") << kViewer << QString();
    }

    void emptyInputIsRefusedWithoutRequest()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        LoginDialog dialog;
        dialog.show();
        Card card(&dialog);
        card.user->setText(user);
        card.password->setText(password);
        QTest::mouseClick(card.login, Qt::LeftButton);
        QVERIFY(card.error->isVisible());
        QCOMPARE(card.error->text(), QStringLiteral("账号和密码不能为空"));
        // No request: the card never went busy.
        QVERIFY(!dialog.isBusy());
        QVERIFY(card.login->isEnabled());
        QCOMPARE(card.login->text(), QStringLiteral("登 录"));
        QVERIFY(dialog.isVisible());
    }

    void wrongPasswordIsShownInPlace()
    {
        LoginDialog dialog;
        dialog.show();
        Card card(&dialog);
        card.user->setText(kViewer);
        card.password->setText(QStringLiteral("not-the-password"));
        QTest::mouseClick(card.login, Qt::LeftButton);

        // Busy until the answer: the button says so and nothing can be edited.
        QVERIFY(dialog.isBusy());
        QCOMPARE(card.login->text(), QStringLiteral("登录中..."));
        QVERIFY(!card.login->isEnabled());
        QVERIFY(!card.user->isEnabled());
        QVERIFY(!card.password->isEnabled());
        QVERIFY(card.remember->isEnabled());
        QVERIFY(card.close->isEnabled());
        QVERIFY(!card.error->isVisible());

        QVERIFY(QTest::qWaitFor([&] { return card.error->isVisible(); }, 15000));
        QCOMPARE(card.error->text(), QStringLiteral("账号或密码错误"));
        QCOMPARE(card.error->textFormat(), Qt::PlainText);
        QCOMPARE(card.login->text(), QStringLiteral("登 录"));
        QVERIFY(card.login->isEnabled());
        QVERIFY(card.user->isEnabled());
        QVERIFY(card.password->isEnabled());
        QCOMPARE(card.password->text(), QStringLiteral("not-the-password"));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    void rememberedPasswordIsStoredAndPrefilled()
    {
        {
            LoginDialog dialog;
            dialog.show();
            // The user name is trimmed; the password goes as typed, spaces
            // included, or the server would refuse it.
            QVERIFY(logIn(dialog, "  " + kViewer + " ", kPassword, true));
        }
        QCOMPARE(store().value("auth/rememberPassword").toBool(), true);
        const QString stored = store().value("auth/savedPassword").toString();
        QCOMPARE(stored, scrambled(kPassword));
        QVERIFY(!stored.contains(QStringLiteral("password")));
        QCOMPARE(store().value("auth/lastUsername").toString(), kViewer);

        LoginDialog next;
        Card card(&next);
        QCOMPARE(card.user->text(), kViewer);
        QCOMPARE(card.password->text(), kPassword);
        QVERIFY(card.remember->isChecked());
    }

    void unrememberedPasswordIsErased()
    {
        AppConfig::instance()->setRememberPassword(true);
        AppConfig::instance()->setSavedPassword(kPassword);
        {
            LoginDialog dialog;
            dialog.show();
            Card card(&dialog);
            QCOMPARE(card.password->text(), kPassword);
            QVERIFY(logIn(dialog, kViewer, kPassword, false));
        }
        QCOMPARE(store().value("auth/rememberPassword").toBool(), false);
        QVERIFY(store().contains("auth/savedPassword"));
        QCOMPARE(store().value("auth/savedPassword").toString(), QString());

        LoginDialog next;
        Card card(&next);
        QCOMPARE(card.user->text(), kViewer);
        QVERIFY(card.password->text().isEmpty());
        QVERIFY(!card.remember->isChecked());
    }

    void closeAndEscapeReject_data()
    {
        QTest::addColumn<bool>("useEscape");
        QTest::newRow("close button") << false;
        QTest::newRow("escape") << true;
    }

    void closeAndEscapeReject()
    {
        QFETCH(bool, useEscape);
        LoginDialog dialog;
        bool driven = false;
        ModalDriver::whenModal([&](QWidget* modal) {
            driven = modal == &dialog;
            if (!modal) {
                dialog.done(-1);
                return;
            }
            if (useEscape) {
                QTest::keyClick(Card(modal).user, Qt::Key_Escape);
            } else {
                QTest::mouseClick(Card(modal).close, Qt::LeftButton);
            }
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(driven);
    }
};

QTEST_MAIN(TestLoginDialog)
#include "tst_logindialog.moc"
