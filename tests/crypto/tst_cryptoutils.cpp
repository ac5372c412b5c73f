#include <openssl/evp.h>

#include <QtGlobal>
#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <thread>

#include "ContainerFormat.h"
#include "CryptoUtils.h"
#include "TestFiles.h"

namespace {

// NIST SP 800-38A, appendix F.5.5 (CTR-AES256.Encrypt).
const QByteArray kNistKey =
    QByteArray::fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const QByteArray kNistCounter = QByteArray::fromHex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
const QByteArray kNistPlain = QByteArray::fromHex(
    "6bc1bee22e409f96e93d7e117393172a"
    "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef"
    "f69f2445df4f9b17ad2b417be66c3710");
const QByteArray kNistCipher = QByteArray::fromHex(
    "601ec313775789a5b7a7f504bbf3d228"
    "f443e3ca4d62b59aca84e990cacaf5c5"
    "2b0930daa23de94ce87017ba2d84988d"
    "dfc9c58db67aada613c2dd08457941a6");

struct Ctx
{
    explicit Ctx(EVP_CIPHER_CTX* c) : ctx(c) {}
    ~Ctx() { CryptoUtils::freeCtrContext(ctx); }
    EVP_CIPHER_CTX* ctx;
};

QByteArray transform(EVP_CIPHER_CTX* ctx, const QByteArray& in)
{
    QByteArray out(in.size(), '\0');
    const int n = CryptoUtils::ctrTransform(ctx, reinterpret_cast<const unsigned char*>(in.data()),
                                            static_cast<int>(in.size()),
                                            reinterpret_cast<unsigned char*>(out.data()));
    return n == in.size() ? out : QByteArray();
}

// Reference counter arithmetic, independent of the code under test: the iv
// as one unsigned 128-bit big-endian number plus the block index, mod 2^128.
QByteArray counterAt(const QByteArray& iv, quint64 block)
{
    unsigned __int128 v = 0;
    for (char c : iv) {
        v = (v << 8) | static_cast<quint8>(c);
    }
    v += block;
    QByteArray out(16, '\0');
    for (int i = 15; i >= 0; --i) {
        out[i] = static_cast<char>(static_cast<quint8>(v & 0xFF));
        v >>= 8;
    }
    return out;
}

QByteArray keyStream(EVP_CIPHER_CTX* ctx, int n)
{
    return transform(ctx, QByteArray(n, '\0'));
}

QString writeFileIn(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    return writeFile(path, bytes) ? path : QString();
}

QByteArray validHeader()
{
    return ContainerFormat::buildHeader(QByteArray::fromHex("000102030405060708090a0b0c0d0e0f"),
                                        QByteArray::fromHex("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"),
                                        1234);
}

}  // namespace

class TestCryptoUtils : public QObject
{
    Q_OBJECT

private slots:
    void nistVectors();
    void nistSeekEveryOffset();
    void seekMatchesCounterArithmetic_data();
    void seekMatchesCounterArithmetic();
    void chunkingDoesNotChangeTheStream_data();
    void chunkingDoesNotChangeTheStream();
    void refusesBadArguments();
    void randomMaterial();
    void formatVideoId_data();
    void formatVideoId();
    void secureWipeLeavesOtherHoldersIntact();
    void header_data();
    void header();
    void headerBuildsLowSourceBits();
    void headerOfAFifoIsRefusedWithoutWaiting();
};

void TestCryptoUtils::nistVectors()
{
    Ctx c(CryptoUtils::createCtrContext(kNistKey, kNistCounter));
    QVERIFY(c.ctx);
    QCOMPARE(transform(c.ctx, kNistPlain).toHex(), kNistCipher.toHex());

    QCOMPARE(CryptoUtils::encryptBytes(kNistPlain, kNistKey, kNistCounter).toHex(),
             kNistCipher.toHex());
    QCOMPARE(CryptoUtils::decryptBytes(kNistCipher, kNistKey, kNistCounter).toHex(),
             kNistPlain.toHex());

    // In place, as the writer and the playback bridge use it.
    QByteArray buf = kNistPlain;
    Ctx d(CryptoUtils::createCtrContext(kNistKey, kNistCounter));
    auto* p = reinterpret_cast<unsigned char*>(buf.data());
    QCOMPARE(CryptoUtils::ctrTransform(d.ctx, p, static_cast<int>(buf.size()), p), 64);
    QCOMPARE(buf.toHex(), kNistCipher.toHex());
}

void TestCryptoUtils::nistSeekEveryOffset()
{
    Ctx c(CryptoUtils::createCtrContext(kNistKey, kNistCounter));
    QVERIFY(c.ctx);
    for (int offset = 0; offset < 64; ++offset) {
        QVERIFY(CryptoUtils::seekCtrContext(c.ctx, kNistKey, kNistCounter, offset));
        QCOMPARE(transform(c.ctx, kNistPlain.mid(offset)).toHex(), kNistCipher.mid(offset).toHex());
    }
    // Seeking backwards after a forward read must restart the stream.
    QVERIFY(CryptoUtils::seekCtrContext(c.ctx, kNistKey, kNistCounter, 17));
    QCOMPARE(transform(c.ctx, kNistPlain.mid(17, 15)), kNistCipher.mid(17, 15));
}

void TestCryptoUtils::seekMatchesCounterArithmetic_data()
{
    QTest::addColumn<QByteArray>("iv");
    QTest::addColumn<qint64>("offset");

    const QByteArray ordinary = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    const QByteArray lastFF = QByteArray::fromHex("000102030405060708090a0b0c0d0eff");
    const QByteArray lowFFFF = QByteArray::fromHex("00000000000000000000000000ffffff");
    const QByteArray allFF(16, '\xff');

    QTest::newRow("offset 0") << ordinary << qint64(0);
    QTest::newRow("mid first block") << ordinary << qint64(9);
    QTest::newRow("carry into byte 14") << lastFF << qint64(16);
    QTest::newRow("carry through three bytes") << lowFFFF << qint64(16 + 5);
    QTest::newRow("all FF wraps to zero") << allFF << qint64(16);
    QTest::newRow("all FF, far") << allFF << qint64(16 * 300 + 15);
    QTest::newRow("block index over 8 bits") << ordinary << qint64(16 * 257 + 3);
    QTest::newRow("5 GiB") << ordinary << qint64(5) * 1024 * 1024 * 1024 + 7;
    QTest::newRow("block index over 32 bits") << lastFF << (qint64(1) << 40) + 1;
    QTest::newRow("largest offset") << allFF << std::numeric_limits<qint64>::max();
}

void TestCryptoUtils::seekMatchesCounterArithmetic()
{
    QFETCH(QByteArray, iv);
    QFETCH(qint64, offset);
    const QByteArray key =
        QByteArray::fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");

    Ctx seeked(CryptoUtils::createCtrContext(key, iv));
    QVERIFY(CryptoUtils::seekCtrContext(seeked.ctx, key, iv, offset));

    // Expected: a fresh stream from the counter block of that offset, with the
    // bytes before the offset inside the block skipped.
    const int within = static_cast<int>(offset % 16);
    Ctx reference(CryptoUtils::createCtrContext(key, counterAt(iv, quint64(offset) / 16)));
    QVERIFY(reference.ctx);
    const QByteArray expected = keyStream(reference.ctx, within + 48).mid(within);
    QCOMPARE(keyStream(seeked.ctx, 48).toHex(), expected.toHex());
}

void TestCryptoUtils::chunkingDoesNotChangeTheStream_data()
{
    QTest::addColumn<int>("chunk");
    for (int chunk : {1, 7, 15, 16, 17, 4096, 65537}) {
        QTest::addRow("%d", chunk) << chunk;
    }
}

void TestCryptoUtils::chunkingDoesNotChangeTheStream()
{
    QFETCH(int, chunk);
    const QByteArray key = CryptoUtils::randomKey();
    const QByteArray iv = QByteArray::fromHex("ffffffffffffffffffffffffffffff00");  // wraps early
    QByteArray data(200'003, '\0');
    for (int i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 31 + 7);
    }
    const QByteArray oneShot = CryptoUtils::encryptBytes(data, key, iv);
    QCOMPARE(oneShot.size(), data.size());

    Ctx c(CryptoUtils::createCtrContext(key, iv));
    QByteArray pieces;
    for (int pos = 0; pos < data.size(); pos += chunk) {
        pieces += transform(c.ctx, data.mid(pos, chunk));
    }
    QVERIFY(pieces == oneShot);
    QVERIFY(CryptoUtils::decryptBytes(oneShot, key, iv) == data);
}

void TestCryptoUtils::refusesBadArguments()
{
    const QByteArray key(32, 'k');
    const QByteArray iv(16, 'i');
    QVERIFY(!CryptoUtils::createCtrContext(QByteArray(31, 'k'), iv));
    QVERIFY(!CryptoUtils::createCtrContext(QByteArray(33, 'k'), iv));
    QVERIFY(!CryptoUtils::createCtrContext(key, QByteArray(15, 'i')));
    QVERIFY(!CryptoUtils::createCtrContext(key, QByteArray()));

    Ctx c(CryptoUtils::createCtrContext(key, iv));
    QVERIFY(c.ctx);
    unsigned char in[4] = {1, 2, 3, 4};
    unsigned char out[4] = {};
    QCOMPARE(CryptoUtils::ctrTransform(nullptr, in, 4, out), -1);
    QCOMPARE(CryptoUtils::ctrTransform(c.ctx, nullptr, 4, out), -1);
    QCOMPARE(CryptoUtils::ctrTransform(c.ctx, in, 4, nullptr), -1);
    QCOMPARE(CryptoUtils::ctrTransform(c.ctx, in, 0, out), -1);
    QCOMPARE(CryptoUtils::ctrTransform(c.ctx, in, -5, out), -1);

    QVERIFY(!CryptoUtils::seekCtrContext(nullptr, key, iv, 0));
    QVERIFY(!CryptoUtils::seekCtrContext(c.ctx, QByteArray(16, 'k'), iv, 0));
    QVERIFY(!CryptoUtils::seekCtrContext(c.ctx, key, QByteArray(32, 'i'), 0));
    QVERIFY(!CryptoUtils::seekCtrContext(c.ctx, key, iv, -1));

    QVERIFY(CryptoUtils::encryptBytes(QByteArray(), key, iv).isEmpty());
    QVERIFY(CryptoUtils::encryptBytes("abc", QByteArray(16, 'k'), iv).isEmpty());
    QVERIFY(CryptoUtils::decryptBytes("abc", key, QByteArray(8, 'i')).isEmpty());

    CryptoUtils::freeCtrContext(nullptr);  // must be harmless
}

void TestCryptoUtils::randomMaterial()
{
    QCOMPARE(CryptoUtils::randomKey().size(), 32);
    QCOMPARE(CryptoUtils::randomIv().size(), 16);
    QVERIFY(CryptoUtils::randomKey() != CryptoUtils::randomKey());
    QVERIFY(CryptoUtils::randomIv() != CryptoUtils::randomIv());

    // The version-4 marks, and that the other bits still vary.
    quint8 orOf6 = 0;
    quint8 andOf6 = 0xFF;
    QSet<QByteArray> seen;
    for (int i = 0; i < 200; ++i) {
        const QByteArray id = CryptoUtils::randomVideoId();
        QCOMPARE(id.size(), 16);
        QCOMPARE(quint8(id[6]) & 0xF0, 0x40);
        QCOMPARE(quint8(id[8]) & 0xC0, 0x80);
        orOf6 |= quint8(id[6]);
        andOf6 &= quint8(id[6]);
        seen.insert(id);
    }
    QCOMPARE(seen.size(), 200);
    QCOMPARE(orOf6 & 0x0F, 0x0F);  // low nibble kept random
    QCOMPARE(andOf6 & 0x0F, 0x00);
}

void TestCryptoUtils::formatVideoId_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("00..0f") << QByteArray::fromHex("000102030405060708090a0b0c0d0e0f")
                            << "00010203-0405-0607-0809-0a0b0c0d0e0f";
    QTest::newRow("upper bytes lower-cased")
        << QByteArray::fromHex("ABCDEF0123456789ABCDEF0123456789")
        << "abcdef01-2345-6789-abcd-ef0123456789";
    QTest::newRow("15 bytes") << QByteArray(15, 'x') << QString();
    QTest::newRow("17 bytes") << QByteArray(17, 'x') << QString();
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestCryptoUtils::formatVideoId()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(CryptoUtils::formatVideoId(bytes), text);
}

void TestCryptoUtils::secureWipeLeavesOtherHoldersIntact()
{
    QByteArray key = CryptoUtils::randomKey();
    const QByteArray copy = key;  // implicitly shared
    const char* sharedData = copy.constData();
    CryptoUtils::secureWipe(key);
    QVERIFY(key.isEmpty());
    QCOMPARE(copy.size(), 32);
    QCOMPARE(copy.constData(), sharedData);
    QVERIFY(copy != QByteArray(32, '\0'));

    QByteArray empty;
    CryptoUtils::secureWipe(empty);
    QVERIFY(empty.isEmpty());
}

void TestCryptoUtils::header_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("valid");

    const QByteArray good = validHeader();
    QByteArray lower = good;
    lower.replace(0, 4, "vcz1");
    QByteArray otherVersion = good;
    otherVersion[3] = '2';

    QTest::newRow("52 bytes, empty payload") << good << true;
    QTest::newRow("with payload") << good + QByteArray(1000, 'p') << true;
    QTest::newRow("51 bytes") << good.left(51) << false;
    QTest::newRow("magic only") << QByteArray("VCZ1") << false;
    QTest::newRow("empty file") << QByteArray() << false;
    QTest::newRow("lower-case magic") << lower << false;
    QTest::newRow("other version") << otherVersion << false;
    QTest::newRow("plain mp4") << QByteArray(
                                      "\0\0\0\x20"
                                      "ftypisom",
                                      12) +
                                      QByteArray(60, 0)
                               << false;
}

void TestCryptoUtils::header()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, valid);
    QTemporaryDir dir;
    const QString path = writeFileIn(dir, QStringLiteral("c.vcz"), content);
    QVERIFY(!path.isEmpty());

    QByteArray keyId = "untouched";
    QByteArray iv = "untouched";
    QCOMPARE(CryptoUtils::readContainerHeader(path, keyId, iv), valid);
    if (valid) {
        QCOMPARE(keyId, QByteArray("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"));
        QCOMPARE(iv, QByteArray::fromHex("000102030405060708090a0b0c0d0e0f"));
    } else {
        QCOMPARE(keyId, QByteArray("untouched"));
        QCOMPARE(iv, QByteArray("untouched"));
    }
}

void TestCryptoUtils::headerBuildsLowSourceBits()
{
    const QByteArray iv(16, '\x11');
    const QByteArray id(16, '\x22');
    const qint64 fiveGiB = qint64(5) << 30;
    const QByteArray h = ContainerFormat::buildHeader(iv, id, fiveGiB + 0x01020304);
    QCOMPARE(h.size(), 52);
    QCOMPARE(h.left(4), QByteArray("VCZ1"));
    // 5 GiB mod 2^32 is 1 GiB = 0x40000000, little-endian after the low bytes.
    QCOMPARE(h.mid(36, 4).toHex(), QByteArray("04030241"));
    QCOMPARE(h.mid(40), QByteArray(12, '\0'));

    ContainerFormat::Header parsed;
    QVERIFY(ContainerFormat::parseHeader(h, &parsed));
    QCOMPARE(parsed.sourceSize, quint32(0x41020304));
    QCOMPARE(parsed.iv, iv);
    QCOMPARE(parsed.videoId, id);

    QVERIFY(ContainerFormat::buildHeader(QByteArray(15, 'x'), id, 0).isEmpty());
    QVERIFY(ContainerFormat::buildHeader(iv, QByteArray(17, 'x'), 0).isEmpty());
}

// A playlist row's file may have been replaced by a FIFO since it was added:
// opened for reading, it would wait for a writer on the GUI thread.
void TestCryptoUtils::headerOfAFifoIsRefusedWithoutWaiting()
{
#ifdef Q_OS_WIN
    QSKIP("a Windows folder holds no FIFO");
#else
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("c.vcz")));
    QVERIFY(mkfifo(fifo.constData(), 0600) == 0);
    std::atomic<bool> done{false};
    bool read = true;
    std::thread reader([&] {
        QByteArray keyId;
        QByteArray iv;
        read = CryptoUtils::readContainerHeader(QFile::decodeName(fifo), keyId, iv);
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool quick = done;
    if (!quick) {
        // Lets the blocked open return, so the thread can be joined.
        const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) {
            ::close(writer);
        }
    }
    reader.join();
    QVERIFY2(quick, "reading the header waited for a writer");
    QVERIFY(!read);
#endif
}

QTEST_APPLESS_MAIN(TestCryptoUtils)
#include "tst_cryptoutils.moc"
