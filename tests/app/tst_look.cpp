// How the program looks to a person: every character it shows has a glyph in
// the fonts that actually draw it (a Linux desktop seldom has an emoji font),
// Qt's own dialogs speak Chinese, the chrome sits on its bars' own colours,
// the quality list's pop-up is dark throughout, and building and showing the
// windows writes no warning. The program's own Application is the test's
// application, so its theme and its start-up are the ones in force.
//
// VEILCAST_LOOK_GRABS=<folder> keeps the pictures the checks look at.
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QGlyphRun>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRawFont>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextLayout>
#include <QVBoxLayout>
#include <QtTest>
#include <algorithm>
#include <memory>

#include "Application.h"
#include "ConfirmDialog.h"
#include "ControlBar.h"
#include "EncryptTaskDelegate.h"
#include "EncryptTaskModel.h"
#include "EncryptorWidget.h"
#include "LoginDialog.h"
#include "MainWindow.h"
#include "ScriptedPeer.h"
#include "SettingsDialog.h"
#include "SidebarWidget.h"
#include "TestFiles.h"
#include "TitleBar.h"
#include "TranscodeDialog.h"

namespace {

void keepGrab(const QPixmap& picture, const QString& name)
{
    const QString dir = qEnvironmentVariable("VEILCAST_LOOK_GRABS");
    if (!dir.isEmpty()) {
        picture.save(QDir(dir).filePath(name + QStringLiteral(".png")));
    }
}

// The characters of text that none of the fonts drawing it has a glyph for.
// The text is laid out as a label lays it out, fallback fonts included, and
// each glyph run names the font that drew it; a glyph 0 is a font's empty box.
QString missingGlyphs(QString text, const QFont& font)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    QString missing;
    for (const char32_t c : text.toUcs4()) {
        if (QChar::isSpace(c)) {
            continue;
        }
        const bool drawn = std::any_of(runs.cbegin(), runs.cend(), [c](const QGlyphRun& run) {
            return run.rawFont().supportsCharacter(c);
        });
        if (!drawn) {
            missing += QString::fromUcs4(&c, 1);
        }
    }
    for (const QGlyphRun& run : runs) {
        const QList<quint32> glyphs = run.glyphIndexes();
        if (missing.isEmpty() && glyphs.contains(0u)) {
            missing =
                QStringLiteral("(a box in ") + run.rawFont().familyName() + QStringLiteral(")");
        }
    }
    return missing;
}

// Every text a person sees in root and its visible children, each with the
// characters it lacks glyphs for, one per line; empty when all are drawn.
QString undrawnText(QWidget* root)
{
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    QStringList problems;
    for (QWidget* w : std::as_const(widgets)) {
        if (w != root && !w->isVisibleTo(root)) {
            continue;
        }
        w->ensurePolished();
        QStringList texts;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            texts << label->text();
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            texts << button->text();
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            texts << edit->text() << edit->placeholderText();
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            for (int i = 0; i < combo->count(); ++i) {
                texts << combo->itemText(i);
            }
        }
        for (const QString& text : std::as_const(texts)) {
            const QString missing = missingGlyphs(text, w->font());
            if (!missing.isEmpty()) {
                problems << QStringLiteral("%1 \"%2\" (%3): no glyph for %4")
                                .arg(w->objectName(), text, w->font().family(), missing);
            }
        }
    }
    return problems.join(QLatin1Char('\n'));
}

// The row of a source as the task list shows it; invalid when there is none.
QModelIndex rowOf(EncryptorWidget& page, const QString& path)
{
    auto* list = page.findChild<QListView*>(QStringLiteral("fileList"));
    const QAbstractItemModel* rows = list ? list->model() : nullptr;
    for (int i = 0; rows && i < rows->rowCount(); ++i) {
        const QModelIndex index = rows->index(i, 0);
        if (index.data(EncryptTaskModel::PathRole).toString() == path) {
            return index;
        }
    }
    return {};
}

// The texts a task row paints, each with the characters it lacks glyphs for.
QString undrawnRowText(const QModelIndex& row, const QFont& font)
{
    QStringList problems;
    for (const QString& text : EncryptTaskDelegate::shownTexts(row)) {
        const QString missing = missingGlyphs(text, font);
        if (!missing.isEmpty()) {
            problems << QStringLiteral("\"%1\": no glyph for %2").arg(text, missing);
        }
    }
    return problems.join(QLatin1Char('\n'));
}

UserInfo merchant()
{
    UserInfo user;
    user.userId = QStringLiteral("u-look");
    user.username = QStringLiteral("shop");
    user.displayName = QStringLiteral("小店");
    user.isMerchant = true;
    user.merchantName = QStringLiteral("影匣小店");
    user.accountExpiry = QDateTime::currentDateTime().addDays(30);
    return user;
}

// A top-level window, shown, for as long as the scene lasts.
std::unique_ptr<QWidget> openScene(const QString& scene)
{
    std::unique_ptr<QWidget> window;
    if (scene.startsWith(QLatin1String("main window"))) {
        auto* main = new MainWindow;
        window.reset(main);
        main->setUser(merchant());
        main->resize(1280, 760);
        main->show();
        main->onTabChanged(scene.endsWith(QLatin1String("encryption page")) ? 1 : 0);
    } else if (scene == QLatin1String("login card")) {
        window = std::make_unique<LoginDialog>();
    } else if (scene == QLatin1String("settings")) {
        window = std::make_unique<SettingsDialog>();
    } else if (scene == QLatin1String("transcoding")) {
        window = std::make_unique<TranscodeDialog>();
    } else if (scene == QLatin1String("control bar")) {
        window = std::make_unique<ControlBar>();
        window->resize(900, 80);
    } else if (scene.startsWith(QLatin1String("message card"))) {
        const int kind =
            scene.endsWith(QLatin1String("warning")) ? ConfirmDialog::Warning : ConfirmDialog::Info;
        window = std::make_unique<ConfirmDialog>(QStringLiteral("完成"),
                                                 QStringLiteral("视频已压缩转换完成。"),
                                                 QStringLiteral("我知道了"), QString(), kind);
    }
    if (window) {
        window->show();
        QCoreApplication::processEvents();
    }
    return window;
}

// The colour at a point of a picture, with the tolerance antialiasing and
// alpha rounding need.
bool near(const QColor& seen, const QColor& wanted, int tolerance = 3)
{
    return qAbs(seen.red() - wanted.red()) <= tolerance &&
           qAbs(seen.green() - wanted.green()) <= tolerance &&
           qAbs(seen.blue() - wanted.blue()) <= tolerance;
}

QColor over(const QColor& top, double alpha, const QColor& below)
{
    return QColor(qRound(top.red() * alpha + below.red() * (1 - alpha)),
                  qRound(top.green() * alpha + below.green() * (1 - alpha)),
                  qRound(top.blue() * alpha + below.blue() * (1 - alpha)));
}

const QColor kBar(0x30, 0x42, 0x60);
const QColor kAccent(0x00, 0xd4, 0xff);

}  // namespace

class TestLook : public QObject
{
    Q_OBJECT

    // The server the encryption page registers keys with; each status row
    // case scripts its answer.
    ScriptedPeer m_peer;

private slots:
    void initTestCase()
    {
        QVERIFY(m_peer.listen());
        qputenv("VEILCAST_SERVER_URL", m_peer.url().toUtf8());
    }

    void buildingAndShowingWritesNoWarning()
    {
        static QStringList warnings;
        static QtMessageHandler previous = nullptr;
        warnings.clear();
        previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
                // The headless platform says so of window manager requests it
                // cannot carry out; a desktop's platform carries them out.
                const bool headlessOnly =
                    message.startsWith(QLatin1String("This plugin does not support "));
                if (type != QtDebugMsg && type != QtInfoMsg && !headlessOnly) {
                    warnings << message;
                }
                previous(type, context, message);
            });
        const auto restore = qScopeGuard([] { qInstallMessageHandler(previous); });

        for (const char* scene : {"main window, player page", "main window, encryption page",
                                  "login card", "settings", "transcoding", "message card"}) {
            const std::unique_ptr<QWidget> window = openScene(QString::fromLatin1(scene));
            QVERIFY(window);
            if (auto* combo = window->findChild<QComboBox*>()) {
                combo->showPopup();
                QCoreApplication::processEvents();
                combo->hidePopup();
            }
            window->close();
        }
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

    void everyTaskStatusIsDrawn_data()
    {
        QTest::addColumn<EncryptorWidget::Status>("status");
        QTest::newRow("waiting") << EncryptorWidget::Status::Waiting;
        QTest::newRow("queued") << EncryptorWidget::Status::Queued;
        QTest::newRow("encrypting") << EncryptorWidget::Status::Encrypting;
        QTest::newRow("uploading") << EncryptorWidget::Status::Uploading;
        QTest::newRow("done") << EncryptorWidget::Status::Done;
        QTest::newRow("failed") << EncryptorWidget::Status::Failed;
        QTest::newRow("upload retry") << EncryptorWidget::Status::UploadRetry;
    }

    void everyTaskStatusIsDrawn()
    {
        QFETCH(EncryptorWidget::Status, status);
        QTemporaryDir dir;
        // Silent sound the page takes for media; the large one is still
        // encrypting when looked at.
        const qint64 size =
            status == EncryptorWidget::Status::Encrypting ? (qint64(256) << 20) : 4096;
        const QString source = dir.filePath(QStringLiteral("课程 01.mp4"));
        QVERIFY(writeSilentWav(source, size));
        m_peer.setHandler([status](const PeerRequest&) {
            switch (status) {
                case EncryptorWidget::Status::Uploading:
                    return PeerResponse::ok({}).after(20000);
                case EncryptorWidget::Status::Failed:
                    return PeerResponse::refuse("INVALID_KEY", "密钥不对", 400);
                case EncryptorWidget::Status::UploadRetry:
                    return PeerResponse::raw(200, "");
                default:
                    return PeerResponse::ok({});
            }
        });

        EncryptorWidget page;
        page.setOutputDir(dir.filePath(QStringLiteral("out")));
        page.resize(900, 560);
        page.show();
        page.addFiles({source});
        if (status != EncryptorWidget::Status::Waiting) {
            page.onStartEncrypt();
        }
        // A started row is queued while its source is checked; the others
        // are waited for.
        if (status != EncryptorWidget::Status::Queued) {
            QVERIFY(QTest::qWaitFor([&] { return page.status(source) == status; }, 60000));
        }
        QCOMPARE(page.status(source), status);
        const QModelIndex row = rowOf(page, source);
        QVERIFY(row.isValid());
        auto* list = page.findChild<QListView*>(QStringLiteral("fileList"));
        const QString undrawn = undrawnRowText(row, list->font());
        keepGrab(list->viewport()->grab(list->visualRect(row)),
                 QStringLiteral("task-") + QString::fromLatin1(QTest::currentDataTag()));
        page.cancelEncryption();
        QVERIFY2(undrawn.isEmpty(), qPrintable(undrawn));
    }

    void everyWindowIsDrawn_data()
    {
        QTest::addColumn<QString>("scene");
        for (const char* scene :
             {"main window, player page", "main window, encryption page", "login card", "settings",
              "transcoding", "message card, info", "message card, warning", "control bar"}) {
            QTest::newRow(scene) << QString::fromLatin1(scene);
        }
    }

    void everyWindowIsDrawn()
    {
        QFETCH(QString, scene);
        const std::unique_ptr<QWidget> window = openScene(scene);
        QVERIFY(window);
        if (scene.endsWith(QLatin1String("player page"))) {
            // An empty playlist shows its invitation.
            auto* sidebar = window->findChild<SidebarWidget*>();
            QVERIFY(sidebar && sidebar->findChild<QLabel*>(QStringLiteral("emptyText")));
            QVERIFY(sidebar->findChild<QLabel*>(QStringLiteral("emptyText"))->isVisible());
        }
        const QString undrawn = undrawnText(window.get());
        keepGrab(window->grab(), QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY2(undrawn.isEmpty(), qPrintable(undrawn));
    }

    // The accent and its translucent washes where a person sees them most: a
    // point of each button's face that no letter or icon reaches.
    void accentSitsOnItsButtons_data()
    {
        QTest::addColumn<QString>("scene");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QColor>("wanted");
        QTest::newRow("login") << "login card"
                               << "loginBtn" << kAccent;
        QTest::newRow("play") << "control bar"
                              << "playBtn" << kAccent;
        QTest::newRow("message, info") << "message card, info"
                                       << "confirmOk" << kAccent;
        // A warning changes the card's frame and sign, not its button.
        QTest::newRow("message, warning") << "message card, warning"
                                          << "confirmOk" << kAccent;
        QTest::newRow("transcoding") << "transcoding"
                                     << "tcStartBtn" << kAccent;
        QTest::newRow("playlist, add") << "main window, player page"
                                       << "emptyAddBtn" << over(kAccent, 0.12, kBar);
    }

    void accentSitsOnItsButtons()
    {
        QFETCH(QString, scene);
        QFETCH(QString, button);
        QFETCH(QColor, wanted);
        const std::unique_ptr<QWidget> window = openScene(scene);
        QVERIFY(window);
        auto* face = window->findChild<QPushButton*>(button);
        QVERIFY(face && face->isVisible());
        // The whole window, so a translucent face shows over what is below it.
        const QImage picture = window->grab().toImage();
        // Left of centre on the middle line for a wide button, near the top
        // for the round one: clear of rounded corners, text and icon.
        const QPoint at = face->width() > face->height() * 2 ? QPoint(8, face->height() / 2)
                                                             : QPoint(face->width() / 2, 4);
        const QColor seen = picture.pixelColor(face->mapTo(window.get(), at));
        QVERIFY2(near(seen, wanted), qPrintable(QStringLiteral("%1 at (%2, %3): %4 (wanted %5)")
                                                    .arg(button)
                                                    .arg(at.x())
                                                    .arg(at.y())
                                                    .arg(seen.name(), wanted.name())));
    }

    void qtsOwnDialogsSpeakChinese_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("accept");
        QTest::newRow("open") << int(QFileDialog::AcceptOpen) << QStringLiteral("打开");
        QTest::newRow("save") << int(QFileDialog::AcceptSave) << QStringLiteral("保存");
    }

    void qtsOwnDialogsSpeakChinese()
    {
        QFETCH(int, mode);
        QFETCH(QString, accept);
        // Qt's own dialog, as on a desktop without a platform file chooser.
        QFileDialog dialog(nullptr, QStringLiteral("选择加密视频"));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptMode(mode));
        dialog.show();
        auto* box = dialog.findChild<QDialogButtonBox*>();
        QVERIFY(box);
        const QList<QAbstractButton*> buttons = box->buttons();
        QAbstractButton* acceptButton = nullptr;
        QAbstractButton* cancelButton = nullptr;
        for (QAbstractButton* b : buttons) {
            const auto role = box->buttonRole(b);
            (role == QDialogButtonBox::AcceptRole ? acceptButton : cancelButton) = b;
        }
        QVERIFY(acceptButton && cancelButton);
        // The mnemonic ("打开(&O)") is Qt's; the word is what a person reads.
        const auto word = [](QString text) {
            return text.remove(QRegularExpression(QStringLiteral("\\(&.\\)|&")));
        };
        QCOMPARE(word(acceptButton->text()), accept);
        QCOMPARE(word(cancelButton->text()), QStringLiteral("取消"));
        QCOMPARE(word(dialog.labelText(QFileDialog::LookIn)), QStringLiteral("查找范围："));
        dialog.close();
    }

    void titleBarNameSitsOnTheBar()
    {
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* bar = new TitleBar(&window);
        layout->addWidget(bar);
        layout->addStretch();
        window.resize(800, 200);
        window.show();
        QCoreApplication::processEvents();
        const QImage picture = bar->grab().toImage();
        keepGrab(QPixmap::fromImage(picture), QStringLiteral("titlebar"));
        // Corners: the logo is round there, the name's letters never reach them.
        for (const char* name : {"logoIcon", "logoText"}) {
            auto* label = bar->findChild<QLabel*>(QLatin1String(name));
            QVERIFY(label);
            const QColor seen = picture.pixelColor(label->geometry().topLeft() + QPoint(1, 1));
            QVERIFY2(near(seen, kBar),
                     qPrintable(QLatin1String(name) + QStringLiteral(" sits on ") + seen.name()));
        }
    }

    void sidebarBorderIsDrawn()
    {
        QWidget window;
        auto* layout = new QHBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addStretch();
        auto* sidebar = new SidebarWidget(&window);
        layout->addWidget(sidebar);
        window.resize(700, 500);
        window.show();
        QCoreApplication::processEvents();
        const QImage picture = sidebar->grab().toImage();
        keepGrab(QPixmap::fromImage(picture), QStringLiteral("sidebar"));
        // The accent line, a fifth opaque, over the panel; one pixel wide.
        const QColor line = over(kAccent, 0.18, kBar);
        for (const int y : {picture.height() / 4, picture.height() * 3 / 4}) {
            QVERIFY2(near(picture.pixelColor(0, y), line),
                     qPrintable(QStringLiteral("x 0, y %1: %2 (wanted %3)")
                                    .arg(y)
                                    .arg(picture.pixelColor(0, y).name(), line.name())));
            QVERIFY2(near(picture.pixelColor(1, y), kBar),
                     qPrintable(picture.pixelColor(1, y).name()));
        }
    }

    void qualityListIsDarkAndShowsItsItem()
    {
        // Where a merchant opens it: from the encryption page of the window.
        MainWindow window;
        window.show();
        TranscodeDialog dialog(window.encryptionPage());
        dialog.show();
        auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("tcQuality"));
        QVERIFY(combo);
        combo->showPopup();
        QWidget* popup = combo->view()->window();
        QVERIFY(QTest::qWaitForWindowExposed(popup));
        const QImage picture = popup->grab().toImage();
        keepGrab(QPixmap::fromImage(picture), QStringLiteral("quality-popup"));
        int light = 0;
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                light += picture.pixelColor(x, y).lightness() > 200 ? 1 : 0;
            }
        }
        // Letters are light too, but far fewer than a strip of white would be.
        QVERIFY2(light < picture.width() * 3, qPrintable(QString::number(light)));

        // The current item stands out from the others, at its right end
        // where no letter reaches.
        QWidget* viewport = combo->view()->viewport();
        const auto background = [&](int row) {
            const QRect r = combo->view()->visualRect(combo->model()->index(row, 0));
            return picture.pixelColor(
                viewport->mapTo(popup, QPoint(viewport->width() - 3, r.center().y())));
        };
        const QColor current = background(combo->currentIndex());
        const QColor other = background(combo->currentIndex() == 0 ? 1 : 0);
        QVERIFY2(!near(current, other, 8), qPrintable(current.name() + " " + other.name()));
        combo->hidePopup();
    }
};

int main(int argc, char** argv)
{
    Application app(argc, argv);
    TestLook test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_look.moc"
