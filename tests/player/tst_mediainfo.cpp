// Chapter navigation as the keys and the seek bar use it.
#include <QTest>

#include "MediaInfo.h"

class TestMediaInfo : public QObject
{
    Q_OBJECT

    static QList<Chapter> lecture()
    {
        return {{0, 60000, "开场"}, {60000, 300000, "一"}, {300000, 600000, "二"}};
    }

private slots:
    void navigation_data()
    {
        QTest::addColumn<QList<Chapter>>("chapters");
        QTest::addColumn<qint64>("at");
        QTest::addColumn<int>("index");
        QTest::addColumn<qint64>("next");
        QTest::addColumn<qint64>("previous");

        const QList<Chapter> l = lecture();
        QTest::newRow("no chapters") << QList<Chapter>{} << 5000LL << -1 << -1LL << -1LL;
        QTest::newRow("start of the file") << l << 0LL << 0 << 60000LL << 0LL;
        QTest::newRow("inside the first") << l << 30000LL << 0 << 60000LL << 0LL;
        QTest::newRow("on a start: that chapter, back to the one before")
            << l << 60000LL << 1 << 300000LL << 0LL;
        QTest::newRow("just after a start: back walks to the chapter before")
            << l << 62999LL << 1 << 300000LL << 0LL;
        QTest::newRow("well inside: back to this chapter's start")
            << l << 63000LL << 1 << 300000LL << 60000LL;
        QTest::newRow("last chapter: no next") << l << 400000LL << 2 << -1LL << 300000LL;
        QTest::newRow("past the end still in the last") << l << 700000LL << 2 << -1LL << 300000LL;
        QTest::newRow("before a first chapter that starts late")
            << QList<Chapter>{{10000, 20000, {}}} << 5000LL << -1 << 10000LL << -1LL;
    }
    void navigation()
    {
        QFETCH(QList<Chapter>, chapters);
        QFETCH(qint64, at);
        QFETCH(int, index);
        QFETCH(qint64, next);
        QFETCH(qint64, previous);
        QCOMPARE(Chapters::indexAt(chapters, at), index);
        QCOMPARE(Chapters::nextStart(chapters, at), next);
        QCOMPARE(Chapters::previousStart(chapters, at), previous);
    }
};

QTEST_APPLESS_MAIN(TestMediaInfo)
#include "tst_mediainfo.moc"
