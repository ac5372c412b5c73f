#include <QSignalSpy>
#include <QtTest>

#include "PlaylistModel.h"

namespace {

const QDateTime kBase(QDate(2024, 1, 1), QTime(9, 0));

PlaylistEntry entry(int n, int playedMinutes = -1)
{
    PlaylistEntry e;
    e.fileId = e.filePath = QStringLiteral("/videos/%1.vcz").arg(n);
    e.title = QString::number(n);
    if (playedMinutes >= 0) {
        e.lastPlayedAt = kBase.addSecs(playedMinutes * 60);
    }
    return e;
}

QStringList titles(const PlaylistModel& m)
{
    QStringList out;
    for (const PlaylistEntry& e : m.entries()) {
        out << e.title;
    }
    return out;
}

}  // namespace

class TestPlaylistModel : public QObject
{
    Q_OBJECT

private slots:
    // played: minutes after the base time for played rows, -1 for never.
    void evictionOnFullList_data()
    {
        QTest::addColumn<QList<int>>("played");
        QTest::addColumn<int>("current");
        QTest::addColumn<QString>("evicted");

        QList<int> allPlayed;
        for (int i = 0; i < 100; ++i) {
            allPlayed << 500 - i;  // row 99 was played first
        }
        QTest::newRow("earliest played") << allPlayed << -1 << "99";
        QTest::newRow("earliest played is current") << allPlayed << 99 << "98";

        QList<int> equal(100, 10);
        QTest::newRow("equal times: first of them") << equal << -1 << "0";
        QTest::newRow("equal times, row 0 current") << equal << 0 << "1";

        QList<int> someNever = allPlayed;
        someNever[40] = someNever[70] = someNever[90] = -1;
        QTest::newRow("oldest never-played, not the last") << someNever << -1 << "40";
        QTest::newRow("oldest never-played is current") << someNever << 40 << "70";
    }

    void evictionOnFullList()
    {
        QFETCH(QList<int>, played);
        QFETCH(int, current);
        QFETCH(QString, evicted);

        PlaylistModel m;
        for (int i = 0; i < played.size(); ++i) {
            m.addEntry(entry(i, played.at(i)));
        }
        m.setCurrentIndex(current);
        const QString currentTitle = m.entryAt(current).title;

        QSignalSpy removed(&m, &QAbstractItemModel::rowsRemoved);
        const int row = m.addEntry(entry(1000));
        QCOMPARE(row, 99);
        QCOMPARE(removed.size(), 1);
        QCOMPARE(m.rowCount(), 100);
        QVERIFY2(!titles(m).contains(evicted), qPrintable(titles(m).join(',')));
        QCOMPARE(m.entryAt(99).title, QStringLiteral("1000"));
        if (current >= 0) {
            QCOMPARE(m.entryAt(m.currentIndex()).title, currentTitle);
        }
    }

    // A batch added together must all stay, even when the list held only
    // never-played rows; older rows go instead.
    void batchNeverEvictsItself()
    {
        PlaylistModel m;
        for (int i = 0; i < 100; ++i) {
            m.addEntry(entry(i));
        }
        m.setCurrentIndex(0);
        const int first = m.addEntries({entry(1000), entry(1001), entry(1002)});
        QCOMPARE(m.rowCount(), 100);
        QCOMPARE(first, 97);
        QCOMPARE(titles(m).mid(97), QStringList({"1000", "1001", "1002"}));
        QCOMPARE(titles(m).mid(0, 2), QStringList({"0", "4"}));
        QCOMPARE(m.currentIndex(), 0);
    }

    // Nothing may go: the only other rows are the batch itself.
    void batchLargerThanRoom()
    {
        PlaylistModel m;
        QList<PlaylistEntry> batch;
        for (int i = 0; i < 105; ++i) {
            batch << entry(i);
        }
        QCOMPARE(m.addEntries(batch), 0);
        QCOMPARE(m.rowCount(), 100);
        QCOMPARE(m.entryAt(99).title, QStringLiteral("99"));
    }

    void removalMovesCurrentWithItsEntry_data()
    {
        QTest::addColumn<int>("removed");
        QTest::addColumn<int>("expectedCurrent");
        QTest::newRow("above") << 1 << 2;
        QTest::newRow("at") << 3 << -1;
        QTest::newRow("below") << 4 << 3;
        QTest::newRow("out of range") << 9 << 3;
    }

    void removalMovesCurrentWithItsEntry()
    {
        QFETCH(int, removed);
        QFETCH(int, expectedCurrent);
        PlaylistModel m;
        for (int i = 0; i < 5; ++i) {
            m.addEntry(entry(i));
        }
        m.setCurrentIndex(3);
        m.removeEntry(removed);
        QCOMPARE(m.currentIndex(), expectedCurrent);
        if (expectedCurrent >= 0) {
            QCOMPARE(m.entryAt(expectedCurrent).title, QStringLiteral("3"));
        }
    }
};

QTEST_GUILESS_MAIN(TestPlaylistModel)
#include "tst_playlistmodel.moc"
