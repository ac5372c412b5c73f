// Qt's own texts in the program are Chinese like ours, wherever the
// catalogues are found, and stay Qt's English when they are not.
#include <QLibraryInfo>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include "Application.h"

class TestQtTexts : public QObject
{
    Q_OBJECT

private slots:
    void chineseFromTheCatalogues()
    {
        const QString dir = qEnvironmentVariableIsSet("VEILCAST_QT_TRANSLATIONS")
                                ? qEnvironmentVariable("VEILCAST_QT_TRANSLATIONS")
                                : QLibraryInfo::path(QLibraryInfo::TranslationsPath);
        QObject owner;
        QTranslator* texts = Application::loadQtTexts(dir, &owner);
        QVERIFY2(texts, qPrintable("no Chinese Qt catalogue in " + dir));
        QCOMPARE(texts->parent(), &owner);
        QVERIFY(QCoreApplication::installTranslator(texts));
        // A line edit's context menu and a dialog's standard button.
        const QString copy = QCoreApplication::translate("QWidgetTextControl", "&Copy");
        const QString cancel = QCoreApplication::translate("QPlatformTheme", "Cancel");
        QCoreApplication::removeTranslator(texts);
        QVERIFY2(copy.contains(QString::fromUtf8("复制")), qPrintable(copy));
        QCOMPARE(cancel, QString::fromUtf8("取消"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
    }

    void englishWithoutThem()
    {
        QTemporaryDir empty;
        QObject owner;
        QVERIFY(!Application::loadQtTexts(empty.path(), &owner));
        QVERIFY(owner.children().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestQtTexts)
#include "tst_qttexts.moc"
