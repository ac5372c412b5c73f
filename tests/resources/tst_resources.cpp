#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QtTest>

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void images_data();
    void images();
};

void TestResources::images_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QColor>("fill");
    QTest::newRow("logo") << ":/logo.svg" << QSize(24, 24) << QColor("#00d4ff");
    QTest::newRow("check") << ":/check.svg" << QSize(16, 16) << QColor("#0a0f1a");
}

// The images are compiled in from a static library; a resource that the
// linker dropped or an SVG that does not parse shows up here, not as a blank
// icon in the running program.
void TestResources::images()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(QColor, fill);
    QVERIFY(QFile::exists(path));
    QSvgRenderer renderer(path);
    QVERIFY(renderer.isValid());
    QCOMPARE(renderer.defaultSize(), size);

    QImage image(size * 4, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();

    int painted = 0;
    int inFill = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() == 255) {
                ++painted;
                inFill += c.rgb() == fill.rgb();
            }
        }
    }
    // Something real is drawn, in the stated colour, without filling the square.
    QVERIFY(painted > image.width() * image.height() / 20);
    QVERIFY(painted < image.width() * image.height() * 9 / 10);
    QCOMPARE(inFill, painted);
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
