// The palette fills style sheets by name: each name gives exactly the text
// the sheets spelled out before they named it (so the look stays), opacity
// suffixes give the same colour translucent, and the braces of a sheet's own
// blocks are never taken for names.
#include <QtTest>

#include "Theme.h"

class TestTheme : public QObject
{
    Q_OBJECT

private slots:
    void fill_data()
    {
        QTest::addColumn<QString>("sheet");
        QTest::addColumn<QString>("filled");
        QTest::newRow("accent") << "{accent}"
                                << "#00d4ff";
        QTest::newRow("panel") << "{panel}"
                               << "#304260";
        QTest::newRow("page") << "{page}"
                              << "#2a3a55";
        QTest::newRow("text") << "{text}"
                              << "#eaf2ff";
        QTest::newRow("ink") << "{ink}"
                             << "#0a0f1a";
        QTest::newRow("hairline") << "{accentLine}"
                                  << "rgba(0,212,255,0.18)";
        QTest::newRow("frame") << "{accentFrame}"
                               << "rgba(0,212,255,0.2)";
        QTest::newRow("callout") << "{accentCallout}"
                                 << "rgba(0,212,255,0.6)";
        QTest::newRow("warning frame") << "{warningFrame}"
                                       << "rgba(251,191,36,0.35)";
        QTest::newRow("percent") << "{white@45}"
                                 << "rgba(255,255,255,0.45)";
        QTest::newRow("one digit") << "{white@5}"
                                   << "rgba(255,255,255,0.05)";
        QTest::newRow("percent of a translucent role") << "{accentLine@30}"
                                                       << "rgba(0,212,255,0.3)";
        QTest::newRow("full percent") << "{accent@100}"
                                      << "#00d4ff";
        QTest::newRow("blocks pass through")
            << "QLabel { color: {text}; }\n#a:hover{background:{accent@12};}"
            << "QLabel { color: #eaf2ff; }\n#a:hover{background:rgba(0,212,255,0.12);}";
        QTest::newRow("empty block") << "QWidget {}"
                                     << "QWidget {}";
        QTest::newRow("two in a row") << "{ink}{text}"
                                      << "#0a0f1a#eaf2ff";
    }

    void fill()
    {
        QFETCH(QString, sheet);
        QFETCH(QString, filled);
        QCOMPARE(Theme::fill(sheet), filled);
    }

    void unknownNameStaysAndIsWarnedAbout()
    {
        QTest::ignoreMessage(QtWarningMsg, "Theme: no colour named acent");
        QCOMPARE(Theme::fill(QStringLiteral("a { color: {acent}; }")),
                 QStringLiteral("a { color: {acent}; }"));
    }

    void color_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("alpha");
        QTest::addColumn<QColor>("wanted");
        QTest::newRow("opaque") << "accent" << -1 << QColor(0, 212, 255);
        QTest::newRow("alpha given") << "accent" << 20 << QColor(0, 212, 255, 20);
        QTest::newRow("role's own alpha") << "accentLine" << -1 << QColor(0, 212, 255, 46);
        QTest::newRow("white") << "white" << 13 << QColor(255, 255, 255, 13);
    }

    void color()
    {
        QFETCH(QString, name);
        QFETCH(int, alpha);
        QFETCH(QColor, wanted);
        QCOMPARE(Theme::color(name, alpha), wanted);
    }

    void menuStyleHasNoNameLeft()
    {
        const QString sheet = Theme::menuStyle();
        QVERIFY2(!sheet.contains(QRegularExpression(QStringLiteral("\\{[A-Za-z]+\\}"))),
                 qPrintable(sheet));
        QVERIFY(
            sheet.contains(QStringLiteral("QMenu::item:selected { background: "
                                          "rgba(0,212,255,0.15); }")));
    }
};

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
