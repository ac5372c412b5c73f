#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "AppConfig.h"
#include "TestHome.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

QSettings store()
{
    return QSettings(QStringLiteral("Veilcast"), QStringLiteral("Veilcast"));
}

PlaylistEntry entryFor(const QString& path, const QString& id)
{
    PlaylistEntry e;
    e.fileId = id;
    e.filePath = path;
    e.title = QStringLiteral("标题 ") + id;
    e.durationMs = 18'000'000;
    e.lastPositionMs = 5'000'000'000LL;  // needs 64 bits
    e.lastPlayedAt = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 890), Qt::UTC);
    e.hasPermission = false;
    e.audioStream = 2;
    e.subtitleStream = -1;  // turned off, unlike the file's default
    e.playing = true;       // never persisted
    return e;
}

bool touch(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

}  // namespace

class TestAppConfig : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void storeIsIsolatedFromTheRealProfile();
    void freshProfileDefaults();
    void stringAndBoolRoundTrips();
    void savedPassword_data();
    void savedPassword();
    void savedPasswordStoredForm_data();
    void savedPasswordStoredForm();
    void emptyPasswordIsStoredAsEmptyText();
    void playlistRoundTrip();
    void savingSkipsVanishedFilesAndReindexes();
    void savingFewerEntriesDropsTheRest();
    void loadingSkipsVanishedFilesAndAppliesDefaults();
    void loadingReadsOnlyTheEntriesTheFileHolds_data();
    void loadingReadsOnlyTheEntriesTheFileHolds();
    void playlistsAreSeparatePerUser();
    void concurrentAccess();

private:
    QTemporaryDir m_files;
};

void TestAppConfig::init()
{
    store().clear();
}

void TestAppConfig::storeIsIsolatedFromTheRealProfile()
{
#ifdef Q_OS_WIN
    // The registry, under the current user's key, which this process sees
    // mapped onto a scratch key: what is written lands there.
    QCOMPARE(store().fileName(),
             QStringLiteral("\\HKEY_CURRENT_USER\\Software\\Veilcast\\Veilcast"));
    AppConfig::instance()->setLastUsername(QStringLiteral("张三"));
    const HKEY scratch = static_cast<HKEY>(TestHome::registryScratchKey());
    QVERIFY(scratch);
    wchar_t text[64] = {};
    DWORD size = sizeof(text);
    QCOMPARE(RegGetValueW(scratch, L"Software\\Veilcast\\Veilcast\\auth", L"lastUsername",
                          RRF_RT_REG_SZ, nullptr, text, &size),
             LONG(ERROR_SUCCESS));
    QCOMPARE(QString::fromWCharArray(text), QStringLiteral("张三"));
    return;
#endif
    const QString home = QDir::homePath();
    QVERIFY(home.startsWith(QStringLiteral("/tmp/veilcast-test-")));
    QVERIFY2(store().fileName().startsWith(home), qPrintable(store().fileName()));
}

void TestAppConfig::freshProfileDefaults()
{
    AppConfig* c = AppConfig::instance();
    QCOMPARE(c, AppConfig::instance());
    QCOMPARE(c->token(), QString());
    QCOMPARE(c->lastUsername(), QString());
    QCOMPARE(c->rememberPassword(), false);
    QCOMPARE(c->savedPassword(), QString());
    QCOMPARE(c->screenshotDir(), QString());
    QCOMPARE(c->lastImportDir(), QString());
    QVERIFY(c->loadPlaylist(QStringLiteral("42")).isEmpty());
    QVERIFY(c->loadPlaylist(QString()).isEmpty());
}

void TestAppConfig::stringAndBoolRoundTrips()
{
    AppConfig* c = AppConfig::instance();
    c->setToken(QStringLiteral("tok"));
    c->setLastUsername(QStringLiteral("张三"));
    c->setRememberPassword(true);
    c->setScreenshotDir(QStringLiteral("/shots"));
    c->setLastImportDir(QStringLiteral("/in"));

    // Written through at once, under the documented keys.
    QSettings s = store();
    QCOMPARE(s.value("auth/token").toString(), QStringLiteral("tok"));
    QCOMPARE(s.value("auth/lastUsername").toString(), QStringLiteral("张三"));
    QCOMPARE(s.value("auth/rememberPassword").toBool(), true);
    QCOMPARE(s.value("ui/screenshotDir").toString(), QStringLiteral("/shots"));
    QCOMPARE(s.value("ui/lastImportDir").toString(), QStringLiteral("/in"));

    QCOMPARE(c->token(), QStringLiteral("tok"));
    QCOMPARE(c->lastUsername(), QStringLiteral("张三"));
    QCOMPARE(c->rememberPassword(), true);
    c->setToken(QString());
    QCOMPARE(c->token(), QString());
}

void TestAppConfig::savedPassword_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("one byte") << QStringLiteral("a");
    QTest::newRow("13 bytes") << QStringLiteral("0123456789abc");
    QTest::newRow("14 bytes wraps") << QStringLiteral("0123456789abcd");
    QTest::newRow("long") << QString(200, QLatin1Char('p'));
    QTest::newRow("non-ascii") << QStringLiteral("密码pässwörd🙂");
    QTest::newRow("spaces and symbols") << QStringLiteral(" a=b/c+d ");
}

void TestAppConfig::savedPassword()
{
    QFETCH(QString, password);
    AppConfig::instance()->setSavedPassword(password);
    const QString stored = store().value("auth/savedPassword").toString();
    QVERIFY(!stored.isEmpty());
    QVERIFY(!stored.contains(password));
    QCOMPARE(AppConfig::instance()->savedPassword(), password);
}

// Known answers, computed outside this code base, pin the stored form so that
// passwords remembered by earlier installations keep loading.
void TestAppConfig::savedPasswordStoredForm_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("stored");
    QTest::newRow("14 bytes, byte 13 uses constant byte 0")
        << QStringLiteral("abcdefghijklmn") << QStringLiteral("M1UVRS4XVUslB1IUOTw=");
    QTest::newRow("utf-8 bytes") << QStringLiteral("密码pässwörd")
                                 << QStringLiteral("t5jwxuvwQuDoHkoPl+RFEg==");
}

void TestAppConfig::savedPasswordStoredForm()
{
    QFETCH(QString, password);
    QFETCH(QString, stored);
    AppConfig::instance()->setSavedPassword(password);
    QCOMPARE(store().value("auth/savedPassword").toString(), stored);

    store().setValue("auth/savedPassword", stored);
    QCOMPARE(AppConfig::instance()->savedPassword(), password);
}

void TestAppConfig::emptyPasswordIsStoredAsEmptyText()
{
    AppConfig::instance()->setSavedPassword(QStringLiteral("secret"));
    AppConfig::instance()->setSavedPassword(QString());
    QSettings s = store();
    QVERIFY(s.contains("auth/savedPassword"));
    QCOMPARE(s.value("auth/savedPassword").toString(), QString());
    QCOMPARE(AppConfig::instance()->savedPassword(), QString());
}

void TestAppConfig::playlistRoundTrip()
{
    const QString path = m_files.filePath(QStringLiteral("round.vcz"));
    QVERIFY(touch(path));
    const PlaylistEntry saved = entryFor(path, QStringLiteral("id-1"));
    AppConfig::instance()->savePlaylist(QStringLiteral("7"), {saved});

    const QList<PlaylistEntry> loaded = AppConfig::instance()->loadPlaylist(QStringLiteral("7"));
    QCOMPARE(loaded.size(), 1);
    const PlaylistEntry& e = loaded.first();
    QCOMPARE(e.fileId, saved.fileId);
    QCOMPARE(e.filePath, saved.filePath);
    QCOMPARE(e.title, saved.title);
    QCOMPARE(e.durationMs, saved.durationMs);
    QCOMPARE(e.lastPositionMs, saved.lastPositionMs);
    QCOMPARE(e.lastPlayedAt, saved.lastPlayedAt);
    QCOMPARE(e.hasPermission, false);
    QCOMPARE(e.audioStream, 2);
    QCOMPARE(e.subtitleStream, -1);
    QCOMPARE(e.playing, false);
}

void TestAppConfig::savingSkipsVanishedFilesAndReindexes()
{
    const QString a = m_files.filePath(QStringLiteral("a.vcz"));
    const QString c = m_files.filePath(QStringLiteral("c.vcz"));
    QVERIFY(touch(a) && touch(c));
    const QString gone = m_files.filePath(QStringLiteral("deleted.vcz"));
    PlaylistEntry empty;
    AppConfig::instance()->savePlaylist(
        QStringLiteral("u"), {entryFor(a, QStringLiteral("a")), entryFor(gone, QStringLiteral("b")),
                              empty, entryFor(c, QStringLiteral("c"))});

    QSettings s = store();
    s.beginGroup(QStringLiteral("playlist/u"));
    QCOMPARE(s.beginReadArray(QStringLiteral("items")), 2);
    s.setArrayIndex(0);
    QCOMPARE(s.value("fileId").toString(), QStringLiteral("a"));
    s.setArrayIndex(1);
    QCOMPARE(s.value("fileId").toString(), QStringLiteral("c"));
    s.endArray();
}

void TestAppConfig::savingFewerEntriesDropsTheRest()
{
    QList<PlaylistEntry> three;
    for (int i = 0; i < 3; ++i) {
        const QString p = m_files.filePath(QStringLiteral("f%1.vcz").arg(i));
        QVERIFY(touch(p));
        three << entryFor(p, QString::number(i));
    }
    AppConfig::instance()->savePlaylist(QStringLiteral("u"), three);
    AppConfig::instance()->savePlaylist(QStringLiteral("u"), {three[2]});

    QSettings s = store();
    QVERIFY(!s.contains(QStringLiteral("playlist/u/items/2/fileId")));
    QVERIFY(!s.contains(QStringLiteral("playlist/u/items/3/fileId")));
    const auto loaded = AppConfig::instance()->loadPlaylist(QStringLiteral("u"));
    QCOMPARE(loaded.size(), 1);
    QCOMPARE(loaded[0].fileId, QStringLiteral("2"));

    AppConfig::instance()->savePlaylist(QStringLiteral("u"), {});
    QVERIFY(AppConfig::instance()->loadPlaylist(QStringLiteral("u")).isEmpty());
}

void TestAppConfig::loadingSkipsVanishedFilesAndAppliesDefaults()
{
    const QString kept = m_files.filePath(QStringLiteral("kept.vcz"));
    QVERIFY(touch(kept));
    {
        // Written by hand the way an older or partial store may look: the
        // empty name means "default", and optional keys are missing.
        QSettings s = store();
        s.beginGroup(QStringLiteral("playlist/default"));
        s.beginWriteArray(QStringLiteral("items"));
        s.setArrayIndex(0);
        s.setValue("fileId", "gone");
        s.setValue("filePath", m_files.filePath(QStringLiteral("gone.vcz")));
        s.setArrayIndex(1);
        s.setValue("fileId", "no path");
        s.setArrayIndex(2);
        s.setValue("fileId", "kept");
        s.setValue("filePath", kept);
        s.endArray();
        s.endGroup();
    }
    const auto loaded = AppConfig::instance()->loadPlaylist(QString());
    QCOMPARE(loaded.size(), 1);
    QCOMPARE(loaded[0].fileId, QStringLiteral("kept"));
    QCOMPARE(loaded[0].durationMs, 0);
    QCOMPARE(loaded[0].lastPositionMs, 0);
    QCOMPARE(loaded[0].hasPermission, true);
    QCOMPARE(loaded[0].audioStream, -1);  // a list from before the choice existed
    QCOMPARE(loaded[0].subtitleStream, PlaylistEntry::kFileSubtitles);
    QVERIFY(!loaded[0].lastPlayedAt.isValid());
    QCOMPARE(loaded[0].title, QString());

    // The same group is what an empty name saves to.
    AppConfig::instance()->savePlaylist(QString(), loaded);
    QCOMPARE(store().value("playlist/default/items/size").toInt(), 1);
}

void TestAppConfig::loadingReadsOnlyTheEntriesTheFileHolds_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<QStringList>("expected");  // fileIds, in order

    // Entries at indices 1, 3 and 5 (and an "01" that is not an index of ours).
    QTest::newRow("a size of two billion") << "2000000000" << QStringList{"one", "three", "five"};
    QTest::newRow("the largest int") << "2147483647" << QStringList{"one", "three", "five"};
    QTest::newRow("size cuts the last entry off") << "4" << QStringList{"one", "three"};
    QTest::newRow("negative size") << "-5" << QStringList{};
    QTest::newRow("size not a number") << "many" << QStringList{};
}

void TestAppConfig::loadingReadsOnlyTheEntriesTheFileHolds()
{
    QFETCH(QString, size);
    QFETCH(QStringList, expected);
    const QString kept = m_files.filePath(QStringLiteral("kept.vcz"));
    QVERIFY(touch(kept));
    {
        QSettings s = store();
        s.beginGroup(QStringLiteral("playlist/default/items"));
        const QList<QPair<QString, QString>> entries{{"1", "one"}, {"3", "three"}, {"5", "five"}};
        for (const auto& [index, id] : entries) {
            s.setValue(index + QLatin1String("/fileId"), id);
            s.setValue(index + QLatin1String("/filePath"), kept);
        }
        s.setValue("01/fileId", "padded");
        s.setValue("01/filePath", kept);
        s.setValue("size", size);
    }
    // Counting up to the size would take minutes; the entries come at once.
    QElapsedTimer timer;
    timer.start();
    QStringList ids;
    for (const PlaylistEntry& e : AppConfig::instance()->loadPlaylist(QString())) {
        ids << e.fileId;
    }
    QCOMPARE(ids, expected);
    QVERIFY2(timer.elapsed() < 30'000, "the loading counted up to the stored size");
}

void TestAppConfig::playlistsAreSeparatePerUser()
{
    const QString p = m_files.filePath(QStringLiteral("x.vcz"));
    QVERIFY(touch(p));
    AppConfig::instance()->savePlaylist(QStringLiteral("alice"), {entryFor(p, "a")});
    AppConfig::instance()->savePlaylist(QStringLiteral("bob"), {});
    QCOMPARE(AppConfig::instance()->loadPlaylist(QStringLiteral("alice")).size(), 1);
    QVERIFY(AppConfig::instance()->loadPlaylist(QStringLiteral("bob")).isEmpty());
}

void TestAppConfig::concurrentAccess()
{
    // Each call has its own QSettings, so other threads may use the store too.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                AppConfig::instance()->setLastImportDir(QStringLiteral("/dir/%1/%2").arg(t).arg(i));
                (void)AppConfig::instance()->lastImportDir();
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    QVERIFY(AppConfig::instance()->lastImportDir().endsWith(QStringLiteral("/49")));
}

QTEST_GUILESS_MAIN(TestAppConfig)
#include "tst_appconfig.moc"
