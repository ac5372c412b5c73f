// The playlist sidebar and its row painting, checked on grabbed pictures and
// through the events a user would cause.
#include <QIdentityProxyModel>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTextDocument>
#include <QToolTip>
#include <QtTest>

#include "PlaylistDelegate.h"
#include "PlaylistModel.h"
#include "SidebarWidget.h"

namespace {

PlaylistEntry entry(const QString& title, bool permitted = true)
{
    PlaylistEntry e;
    e.fileId = e.filePath = "/videos/" + title + ".vcz";
    e.title = title;
    e.hasPermission = permitted;
    e.durationMs = 62000;
    return e;
}

// Pixels of two same-sized areas that differ.
int differing(const QImage& a, const QImage& b)
{
    int n = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            n += a.pixel(x, y) != b.pixel(x, y);
        }
    }
    return n;
}

int brightest(const QImage& area)
{
    int best = 0;
    for (int y = 0; y < area.height(); ++y) {
        for (int x = 0; x < area.width(); ++x) {
            best = qMax(best, qGray(area.pixel(x, y)));
        }
    }
    return best;
}

bool hasAccent(const QImage& area)
{
    for (int y = 0; y < area.height(); ++y) {
        for (int x = 0; x < area.width(); ++x) {
            const QColor c = area.pixelColor(x, y);
            if (c.blue() > 200 && c.green() > 150 && c.red() < 60) {
                return true;
            }
        }
    }
    return false;
}

// The playlist as it is, except that every row's second line says what the
// test expects it to say: the row picture it must match.
class LineOverride : public QIdentityProxyModel
{
public:
    QString line;

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role == PlaylistModel::DurationTextRole) {
            return line;
        }
        return QIdentityProxyModel::data(index, role);
    }
};

// Chooses an entry of the next popup menu, or leaves it with Escape; gives
// up after a few seconds, so a menu that never opens fails the test instead
// of hanging it.
void whenMenu(const QString& choice)
{
    auto* poll = new QTimer(qApp);
    poll->setInterval(10);
    auto tries = std::make_shared<int>(500);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, choice, tries] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || !menu->isVisible()) {
            if (--*tries <= 0) {
                poll->deleteLater();
            }
            return;
        }
        poll->stop();
        poll->deleteLater();
        for (QAction* a : menu->actions()) {
            if (a->text() == choice) {
                menu->setActiveAction(a);
                QTest::keyClick(menu, Qt::Key_Return);
                return;
            }
        }
        QTest::keyClick(menu, Qt::Key_Escape);
    });
    poll->start();
}

}  // namespace

class TestSidebar : public QObject
{
    Q_OBJECT

    SidebarWidget* m_bar = nullptr;
    qint64 m_nowMs = 0;

    QListView* list() const { return m_bar->listView(); }
    QRect rowRect(int row) const { return list()->visualRect(m_bar->model()->index(row)); }
    // The view lays its rows out on a deferred timer; let it run first.
    QImage grabRows() const
    {
        QCoreApplication::processEvents();
        return list()->viewport()->grab().toImage();
    }

    // What a real double click delivers: the view acts on the second press
    // only when the first one hit the same row.
    void doubleClick(const QPoint& at) const
    {
        QWidget* v = list()->viewport();
        QTest::mousePress(v, Qt::LeftButton, {}, at);
        QTest::mouseRelease(v, Qt::LeftButton, {}, at);
        QTest::mouseDClick(v, Qt::LeftButton, {}, at);
        QTest::mouseRelease(v, Qt::LeftButton, {}, at);
    }

private slots:
    void init()
    {
        m_bar = new SidebarWidget;
        m_bar->resize(SidebarWidget::kExpandedWidth, 400);
        m_bar->delegate()->setTimeSource([this] { return m_nowMs; });
        m_bar->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_bar));
    }

    void cleanup()
    {
        QToolTip::hideText();
        delete m_bar;
    }

    void refusedRowIsDimmedAndBadged()
    {
        m_bar->model()->addEntry(entry("Lesson"));
        m_bar->model()->addEntry(entry("Lesson", false));
        const QImage rows = grabRows();
        const QRect permitted = rowRect(0);
        const QRect refused = rowRect(1);

        // The badge sits left of the bars' room at the right edge.
        const QRect badge(permitted.right() - 58, 16, 50, 20);
        const QImage withBadge = rows.copy(badge.translated(0, refused.top()));
        const QImage without = rows.copy(badge.translated(0, permitted.top()));
        QVERIFY2(differing(withBadge, without) > 100, "no badge drawn");

        const QRect title(56, 10, 120, 18);
        const int bright = brightest(rows.copy(title.translated(0, permitted.top())));
        const int dim = brightest(rows.copy(title.translated(0, refused.top())));
        QVERIFY2(bright > dim + 30, qPrintable(QString("%1 vs %2").arg(bright).arg(dim)));
    }

    void playingBarsMove()
    {
        m_bar->model()->addEntry(entry("Playing"));
        m_bar->model()->addEntry(entry("Idle"));
        m_bar->model()->setEntryPlaying(0, true);
        const QRect bars(rowRect(0).right() - 23, 16, 16, 20);

        m_nowMs = 1000;
        const QImage first = grabRows();
        m_nowMs += PlaylistDelegate::kAnimationIntervalMs;
        const QImage second = grabRows();
        const QImage a = first.copy(bars.translated(0, rowRect(0).top()));
        QVERIFY(hasAccent(a));
        QVERIFY(differing(a, second.copy(bars.translated(0, rowRect(0).top()))) > 0);
        QVERIFY(!hasAccent(first.copy(bars.translated(0, rowRect(1).top()))));
    }

    // The timer repaints the list only while playing.
    void animationRepaintsWhilePlaying()
    {
        m_bar->model()->addEntry(entry("Playing"));
        int paints = 0;
        struct Counter : QObject
        {
            int* n;
            bool eventFilter(QObject*, QEvent* e) override
            {
                *n += e->type() == QEvent::Paint;
                return false;
            }
        } counter;
        counter.n = &paints;
        list()->viewport()->installEventFilter(&counter);

        m_bar->delegate()->setPlaying(true);
        QVERIFY(m_bar->delegate()->isAnimating());
        QTRY_VERIFY_WITH_TIMEOUT(paints >= 3, 5000);
        m_bar->delegate()->setPlaying(false);
        QVERIFY(!m_bar->delegate()->isAnimating());
        QTest::qWait(3 * PlaylistDelegate::kAnimationIntervalMs);
        paints = 0;
        QTest::qWait(3 * PlaylistDelegate::kAnimationIntervalMs);
        QCOMPARE(paints, 0);
    }

    // The row picture with its second line reading text: the same view,
    // delegate and entry, the line replaced through a proxy.
    QImage rowsReading(const QString& text)
    {
        LineOverride proxy;
        proxy.line = text;
        proxy.setSourceModel(m_bar->model());
        list()->setModel(&proxy);
        const QImage rows = grabRows();
        list()->setModel(m_bar->model());
        return rows;
    }

    void lengthLineReadsUnknownUntilKnown_data()
    {
        QTest::addColumn<qint64>("durationMs");
        QTest::addColumn<QString>("line");
        QTest::newRow("never opened") << qint64(0) << "--:--";
        QTest::newRow("past an hour") << qint64(3725000) << "62:05";
        QTest::newRow("shorter than a second") << qint64(400) << "00:00";
    }

    void lengthLineReadsUnknownUntilKnown()
    {
        QFETCH(qint64, durationMs);
        QFETCH(QString, line);
        PlaylistEntry e = entry("Lesson");
        e.durationMs = durationMs;
        m_bar->model()->addEntry(e);
        const QRect second(56, 30, 120, 14);
        const auto lineOf = [&](const QImage& rows) {
            return rows.copy(second.translated(0, rowRect(0).top()));
        };

        const QImage painted = lineOf(grabRows());
        QCOMPARE(differing(painted, lineOf(rowsReading(line))), 0);
        QCOMPARE(m_bar->model()->index(0).data(PlaylistModel::DurationTextRole).toString(), line);
        const QString other = line == "00:00" ? "--:--" : "00:00";
        QVERIFY2(differing(painted, lineOf(rowsReading(other))) > 20, "the line is not drawn");

        // Once the player tells the length, the row says it.
        m_bar->model()->setEntryDuration(0, 62000);
        QCOMPARE(differing(lineOf(grabRows()), lineOf(rowsReading("01:02"))), 0);
    }

    void tooltipOnlyForElidedTitlesAndLiteral_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("shown");
        QTest::newRow("short") << "<b>x</b>" << false;
        QTest::newRow("long, with markup") << "<b>x</b> " + QString(80, 'y') << true;
    }

    void tooltipOnlyForElidedTitlesAndLiteral()
    {
        QFETCH(QString, title);
        QFETCH(bool, shown);
        m_bar->model()->addEntry(entry(title));
        const QPoint at = rowRect(0).center();
        QHelpEvent help(QEvent::ToolTip, at, list()->viewport()->mapToGlobal(at));
        QApplication::sendEvent(list()->viewport(), &help);
        QCOMPARE(QToolTip::isVisible(), shown);
        if (shown) {
            QTextDocument shownText;
            shownText.setHtml(QToolTip::text());
            QCOMPARE(shownText.toPlainText().trimmed(), title);
        }
    }

    void doubleClickStartsOnlyPermittedRows()
    {
        m_bar->model()->addEntry(entry("Free"));
        m_bar->model()->addEntry(entry("Locked", false));
        QSignalSpy activated(m_bar, &SidebarWidget::itemActivated);
        doubleClick(rowRect(1).center());
        QCOMPARE(activated.size(), 0);
        doubleClick(rowRect(0).center());
        QCOMPARE(activated.size(), 1);
        QCOMPARE(activated.first().first().toInt(), 0);
    }

    void contextMenuRemovesTheRow()
    {
        m_bar->model()->addEntry(entry("One"));
        m_bar->model()->addEntry(entry("Two"));
        auto* count = m_bar->findChild<QLabel*>("sidebarCount");
        QCOMPARE(count->text(), QStringLiteral("2 / 100"));
        QVERIFY(count->isVisible());

        // Announced while the row is still there, so listeners can look at it.
        QList<QString> announced;
        connect(m_bar, &SidebarWidget::itemRemoved, this,
                [&](int row) { announced << m_bar->model()->entryAt(row).title; });
        whenMenu("取消");  // no such entry: the menu is left
        emit list()->customContextMenuRequested(rowRect(1).center());
        QCOMPARE(m_bar->model()->rowCount(), 2);

        whenMenu("删除");
        emit list()->customContextMenuRequested(rowRect(1).center());
        QCOMPARE(announced, QList<QString>({"Two"}));
        QCOMPARE(m_bar->model()->rowCount(), 1);
        QCOMPARE(count->text(), QStringLiteral("1 / 100"));

        whenMenu("删除");
        emit list()->customContextMenuRequested(rowRect(0).center());
        QCOMPARE(m_bar->model()->rowCount(), 0);
        QVERIFY(!count->isVisible());
        auto* stack = m_bar->findChild<QStackedWidget*>();
        QCOMPARE(stack->currentIndex(), 0);
    }

    void collapseAndExpand()
    {
        auto* count = m_bar->findChild<QLabel*>("sidebarCount");
        auto* toggle = m_bar->findChild<QPushButton*>("sidebarToggleBtn");
        auto* add = m_bar->findChild<QPushButton*>("sidebarAddBtn");
        QCOMPARE(toggle->toolTip(), QStringLiteral("收起播放列表"));

        m_bar->toggleCollapse();
        QCOMPARE(m_bar->width(), SidebarWidget::kCollapsedWidth);
        QVERIFY(toggle->isVisible());
        QVERIFY(!add->isVisible());
        QCOMPARE(toggle->toolTip(), QStringLiteral("展开播放列表"));
        // Rows added while collapsed do not bring the count back.
        m_bar->model()->addEntry(entry("One"));
        QVERIFY(!count->isVisible());
        m_bar->model()->removeEntry(0);

        m_bar->toggleCollapse();
        QCOMPARE(m_bar->width(), SidebarWidget::kExpandedWidth);
        QVERIFY(add->isVisible());
        QVERIFY(!count->isVisible());  // the list is empty
    }
};

QTEST_MAIN(TestSidebar)
#include "tst_sidebar.moc"
