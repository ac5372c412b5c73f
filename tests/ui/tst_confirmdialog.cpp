// The message card: which buttons exist and what they answer, the key that
// must not confirm a question by accident, plain text, the two looks, and
// dragging by the stored offset where the desktop has no move loop.
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "ConfirmDialog.h"
#include "ModalDriver.h"

namespace {

QPushButton* button(QWidget* dialog, const char* name)
{
    return dialog ? dialog->findChild<QPushButton*>(QLatin1String(name)) : nullptr;
}

QString labelText(QWidget* dialog, const char* name)
{
    auto* label = dialog->findChild<QLabel*>(QLatin1String(name));
    return label ? label->text() : QString();
}

}  // namespace

class TstConfirmDialog : public QObject
{
    Q_OBJECT

private slots:
    // How each way out of confirm() answers.
    void confirmAnswers_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("expected");
        QTest::newRow("ok") << "ok" << true;
        QTest::newRow("cancel") << "cancel" << false;
        QTest::newRow("escape") << "escape" << false;
        QTest::newRow("return takes the safe answer") << "return" << false;
    }
    void confirmAnswers()
    {
        QFETCH(QString, action);
        QFETCH(bool, expected);
        bool sawBoth = false;
        QString icon;
        ModalDriver::whenModal([&](QWidget* d) {
            QVERIFY(d);
            sawBoth = button(d, "confirmOk") && button(d, "confirmCancel");
            icon = labelText(d, "confirmIcon");
            if (action == "ok") {
                button(d, "confirmOk")->click();
            } else if (action == "cancel") {
                button(d, "confirmCancel")->click();
            } else if (action == "escape") {
                QTest::keyClick(d, Qt::Key_Escape);
            } else {
                QTest::keyClick(d, Qt::Key_Return);
            }
            // Whatever happened, the loop must end.
            QTimer::singleShot(500, d, [d] { static_cast<QDialog*>(d)->done(99); });
        });
        const bool answer =
            ConfirmDialog::confirm(nullptr, "切换账号", "确定要切换账号吗？", "切换", "取消");
        QVERIFY(sawBoth);
        QCOMPARE(icon, QStringLiteral("ⓘ"));  // a question always has the Info look
        QCOMPARE(answer, expected);
    }

    // A notice has one button; Return acknowledges it and nothing is left open.
    void alertHasOnlyOk()
    {
        bool hadCancel = true;
        QString okText;
        ModalDriver::whenModal([&](QWidget* d) {
            QVERIFY(d);
            hadCancel = button(d, "confirmCancel") != nullptr;
            okText = button(d, "confirmOk")->text();
            QTest::keyClick(d, Qt::Key_Return);
        });
        ConfirmDialog::alert(nullptr, "播放失败", "无法打开媒体流");
        QVERIFY(!hadCancel);
        QCOMPARE(okText, QStringLiteral("我知道了"));
        QVERIFY(!QApplication::activeModalWidget());
    }

    // A confirm without cancel text has no cancel button either.
    void confirmWithoutCancel()
    {
        ConfirmDialog d("t", "m", "好", QString(), ConfirmDialog::Info);
        QVERIFY(!button(&d, "confirmCancel"));
        QVERIFY(button(&d, "confirmOk")->isDefault());
    }

    // Server sentences and file names come with markup characters in them.
    void textsArePlain()
    {
        const QString title = "<i>t</i>";
        const QString message = "<b>x</b> & <a href='y'>y</a>";
        ConfirmDialog d(title, message, "<u>ok</u>", "<s>no</s>", ConfirmDialog::Warning);
        for (auto* label : d.findChildren<QLabel*>()) {
            QCOMPARE(label->textFormat(), Qt::PlainText);
        }
        QCOMPARE(labelText(&d, "confirmTitle"), title);
        QCOMPARE(labelText(&d, "confirmMsg"), message);
        QCOMPARE(button(&d, "confirmOk")->text(), QStringLiteral("<u>ok</u>"));
    }

    // Warning has its own accent and sign; anything else looks like Info.
    void looks_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("icon");
        QTest::addColumn<QString>("accent");
        QTest::newRow("info") << 0 << "ⓘ"
                              << "#00d4ff";
        QTest::newRow("warning") << 1 << "⚠"
                                 << "#fbbf24";
        QTest::newRow("two") << 2 << "ⓘ"
                             << "#00d4ff";
        QTest::newRow("minus one") << -1 << "ⓘ"
                                   << "#00d4ff";
    }
    void looks()
    {
        QFETCH(int, kind);
        QFETCH(QString, icon);
        QFETCH(QString, accent);
        ConfirmDialog d("标题", "消息", "好", "取消", kind);
        QCOMPARE(labelText(&d, "confirmIcon"), icon);
        // The title is painted in the accent colour.
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        auto* title = d.findChild<QLabel*>("confirmTitle");
        QCOMPARE(title->palette().color(QPalette::WindowText).name(), accent);
    }

    // Long messages wrap inside a card of at least 340 px.
    void longMessageWraps()
    {
        ConfirmDialog d("t", QString(400, QChar(u'字')), "好", QString(), 0);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        auto* card = d.findChild<QWidget*>("confirmCard");
        auto* msg = d.findChild<QLabel*>("confirmMsg");
        QVERIFY(card->width() >= 340);
        QVERIFY(msg->wordWrap());
        QVERIFY(msg->height() > 3 * msg->fontMetrics().height());
        QVERIFY(d.width() < 1200);
    }

    // Without a desktop move loop (offscreen), the card follows the pointer by
    // its stored offset; the right button and a released button do nothing.
    void dragging()
    {
        ConfirmDialog d("t", "m", "好", QString(), 0);
        d.move(100, 100);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        const QPoint start = d.frameGeometry().topLeft();
        const QPointF local(30, 30);
        const QPointF global = QPointF(d.mapToGlobal(local.toPoint()));

        auto send = [&](QEvent::Type type, Qt::MouseButton b, Qt::MouseButtons held, QPointF g) {
            QMouseEvent e(type, d.mapFromGlobal(g), g, b, held, Qt::NoModifier);
            QApplication::sendEvent(&d, &e);
        };
        send(QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, global);
        send(QEvent::MouseMove, Qt::NoButton, Qt::RightButton, global + QPointF(50, 40));
        QCOMPARE(d.frameGeometry().topLeft(), start);

        send(QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, global);
        send(QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, global + QPointF(50.4, 39.6));
        QCOMPARE(d.frameGeometry().topLeft(), start + QPoint(50, 40));

        send(QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, global + QPointF(50, 40));
        send(QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, global + QPointF(200, 200));
        QCOMPARE(d.frameGeometry().topLeft(), start + QPoint(50, 40));
    }
};

QTEST_MAIN(TstConfirmDialog)
#include "tst_confirmdialog.moc"
