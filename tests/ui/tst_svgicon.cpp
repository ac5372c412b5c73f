// The one icon routine: colour and opacity really reach the pixels, the
// outside stays transparent, and markup with '%' or several paths survives.
#include <QtTest>

#include "SvgIcon.h"

class TstSvgIcon : public QObject
{
    Q_OBJECT

private slots:
    void opacityText_data()
    {
        QTest::addColumn<int>("alpha");
        QTest::addColumn<QString>("expected");
        QTest::newRow("opaque") << 255 << "1.00";
        QTest::newRow("enabled") << 179 << "0.70";
        QTest::newRow("disabled") << 40 << "0.16";
        QTest::newRow("invisible") << 0 << "0.00";
    }
    void opacityText()
    {
        QFETCH(int, alpha);
        QFETCH(QString, expected);
        const QByteArray doc = SvgIcon::document(QStringLiteral("<path d=\"M0 0h1v1z\"/>"),
                                                 QColor(255, 255, 255, alpha));
        QVERIFY2(doc.contains("fill-opacity=\"" + expected.toLatin1() + "\""), doc.constData());
        QVERIFY2(doc.contains("fill=\"#ffffff\""), doc.constData());
    }

    // A square from (6,6) to (18,18) of the view box: at 48 px it covers 12..36.
    void pixelsInsideAndOutside_data()
    {
        QTest::addColumn<QColor>("color");
        QTest::newRow("accent") << QColor(0x00, 0xd4, 0xff);
        QTest::newRow("warning") << QColor(0xfb, 0xbf, 0x24);
        QTest::newRow("half white") << QColor(255, 255, 255, 128);
    }
    void pixelsInsideAndOutside()
    {
        QFETCH(QColor, color);
        const QPixmap pm =
            SvgIcon::pixmap(QStringLiteral("<path d=\"M6 6h12v12H6z\"/>"), color, 48);
        QCOMPARE(pm.size(), QSize(48, 48));
        const QImage img = pm.toImage().convertToFormat(QImage::Format_ARGB32);
        const QColor inside = img.pixelColor(24, 24);
        QVERIFY(qAbs(inside.alpha() - color.alpha()) <= 2);
        QVERIFY(qAbs(inside.red() - color.red()) <= 2);
        QVERIFY(qAbs(inside.green() - color.green()) <= 2);
        QVERIFY(qAbs(inside.blue() - color.blue()) <= 2);
        for (const QPoint p : {QPoint(2, 2), QPoint(45, 45), QPoint(24, 5), QPoint(40, 24)}) {
            QCOMPARE(img.pixelColor(p).alpha(), 0);
        }
    }

    void severalPathsAndPercentSigns()
    {
        // Two squares; the second path's data holds "%1", which must not be
        // replaced by the colour or the opacity.
        const QString markup =
            QStringLiteral("<path d=\"M0 0h6v6H0z\"/><path id=\"x%1\" d=\"M18 18h6v6h-6z\"/>");
        const QByteArray doc = SvgIcon::document(markup, Qt::white);
        QVERIFY(doc.contains("id=\"x%1\""));
        const QImage img = SvgIcon::pixmap(markup, Qt::white, 24).toImage();
        QCOMPARE(qAlpha(img.pixel(2, 2)), 255);
        QCOMPARE(qAlpha(img.pixel(21, 21)), 255);
        QCOMPARE(qAlpha(img.pixel(12, 12)), 0);
        QCOMPARE(SvgIcon::icon(markup, Qt::white, 24).availableSizes().value(0), QSize(24, 24));
    }

    void invalidInputGivesNothing()
    {
        QVERIFY(SvgIcon::pixmap(QStringLiteral("<path d=\"M0 0h1v1z\"/>"), Qt::white, 0).isNull());
        QVERIFY(SvgIcon::pixmap(QStringLiteral("<path d="), Qt::white, 16).isNull());
        QVERIFY(SvgIcon::icon(QStringLiteral("<path d="), Qt::white, 16).isNull());
    }
};

QTEST_MAIN(TstSvgIcon)
#include "tst_svgicon.moc"
