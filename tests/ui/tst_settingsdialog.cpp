// The settings dialog stores only what the user chose: the default folder is
// shown but never written as if picked; a picked folder is stored on "保存"
// only. The folder picker is driven from the test.
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "AppConfig.h"
#include "SettingsDialog.h"

namespace {

QSettings store()
{
    return QSettings(QStringLiteral("Veilcast"), QStringLiteral("Veilcast"));
}

QPushButton* buttonWithText(QWidget* dialog, const QString& text)
{
    for (QPushButton* b : dialog->findChildren<QPushButton*>()) {
        if (b->text() == text) {
            return b;
        }
    }
    return nullptr;
}

// The open folder picker, if any.
QFileDialog* openPicker()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* picker = qobject_cast<QFileDialog*>(w); picker && picker->isVisible()) {
            return picker;
        }
    }
    return nullptr;
}

// Answers the next folder picker: picks dir, or cancels when dir is empty.
// Reports through *seen whether a picker appeared, and its start folder.
void answerPicker(const QString& dir, bool* seen, QString* startDir)
{
    auto poll = std::make_shared<std::function<void(int)>>();
    // Weakly self-referring: the pending timer holds the poll, so it is
    // freed once it ends (the address sanitizer run checks for leaks).
    std::weak_ptr<std::function<void(int)>> self = poll;
    *poll = [dir, seen, startDir, self](int triesLeft) {
        QFileDialog* picker = openPicker();
        if (!picker) {
            if (auto next = self.lock(); next && triesLeft > 0) {
                QTimer::singleShot(10, [next, triesLeft] { (*next)(triesLeft - 1); });
            } else if (QWidget* modal = QApplication::activeModalWidget()) {
                modal->close();  // something else came up: end it rather than hang
            }
            return;
        }
        *seen = true;
        *startDir = picker->directory().absolutePath();
        if (dir.isEmpty()) {
            picker->reject();
            return;
        }
        // As a user who browsed into dir and pressed "Choose" with nothing
        // typed; the picker then answers with the folder it shows.
        picker->setDirectory(dir);
        if (auto* typed = picker->findChild<QLineEdit*>("fileNameEdit")) {
            typed->clear();
        }
        static_cast<QDialog*>(picker)->done(QDialog::Accepted);
    };
    // About five seconds of polling before giving up; seen stays false.
    QTimer::singleShot(0, [poll] { (*poll)(500); });
}

}  // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void init() { store().clear(); }

    void defaultIsShownButNotStored()
    {
        SettingsDialog dialog;
        auto* field = dialog.findChild<QLineEdit*>();
        QVERIFY(field);
        QVERIFY(field->isReadOnly());
        // The user's pictures folder; the test's home has no user-dirs file.
        QCOMPARE(QDir::fromNativeSeparators(field->text()),
                 QDir::homePath() + QStringLiteral("/Pictures/Veilcast"));
        dialog.show();
        QTest::mouseClick(dialog.findChild<QPushButton*>("settingsSaveBtn"), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!store().contains("ui/screenshotDir"));
        QVERIFY(AppConfig::instance()->screenshotDir().isEmpty());
    }

    void onlyAPickedFolderIsStored_data()
    {
        QTest::addColumn<QString>("stored");    // before opening
        QTest::addColumn<QString>("pick");      // empty: the picker is cancelled
        QTest::addColumn<bool>("save");         // "保存", else "取消"
        QTest::addColumn<QString>("expected");  // stored afterwards; "-" for no key
        const QString picked = m_dir.filePath("shots");
        QTest::newRow("pick and save") << QString() << picked << true << picked;
        QTest::newRow("pick and cancel") << QString() << picked << false << "-";
        QTest::newRow("picker cancelled, save") << QString() << QString() << true << "-";
        QTest::newRow("earlier choice kept on save")
            << m_dir.filePath("old") << QString() << true << m_dir.filePath("old");
        QTest::newRow("earlier choice replaced")
            << m_dir.filePath("old") << picked << true << picked;
        QTest::newRow("earlier choice kept on cancel")
            << m_dir.filePath("old") << picked << false << m_dir.filePath("old");
    }

    void onlyAPickedFolderIsStored()
    {
        QFETCH(QString, stored);
        QFETCH(QString, pick);
        QFETCH(bool, save);
        QFETCH(QString, expected);
        QVERIFY(QDir().mkpath(m_dir.filePath("shots")));
        QVERIFY(QDir().mkpath(m_dir.filePath("old")));
        if (!stored.isEmpty()) {
            AppConfig::instance()->setScreenshotDir(stored);
        }

        SettingsDialog dialog;
        dialog.show();
        auto* field = dialog.findChild<QLineEdit*>();
        const QString before = field->text();
        if (!stored.isEmpty()) {
            QCOMPARE(QDir::fromNativeSeparators(before), stored);
        }

        bool seen = false;
        QString startDir;
        answerPicker(pick, &seen, &startDir);
        QTest::mouseClick(buttonWithText(&dialog, QStringLiteral("浏览…")), Qt::LeftButton);
        QVERIFY(seen);
        if (!stored.isEmpty()) {
            // The picker opens where the field points.
            QCOMPARE(startDir, stored);
        }
        QCOMPARE(QDir::fromNativeSeparators(field->text()),
                 pick.isEmpty() ? QDir::fromNativeSeparators(before) : pick);

        QTest::mouseClick(save ? dialog.findChild<QPushButton*>("settingsSaveBtn")
                               : buttonWithText(&dialog, QStringLiteral("取消")),
                          Qt::LeftButton);
        QCOMPARE(dialog.result(), int(save ? QDialog::Accepted : QDialog::Rejected));
        if (expected == "-") {
            QVERIFY(!store().contains("ui/screenshotDir"));
        } else {
            QCOMPARE(store().value("ui/screenshotDir").toString(), expected);
        }
    }
};

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
