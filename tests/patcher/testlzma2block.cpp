#include "logcapture.h"
#include "logmessage.h"
#include "lzmaioout.h"
#include "streams.h"

#include <QRandomGenerator>
#include <QtTest>
#include <algorithm>
#include <vector>

using namespace vxpatch;

namespace {

// LZMA2 streams made by Python's lzma module (FORMAT_RAW, FILTER_LZMA2, preset 9,
// 64 KiB dictionary: property byte 8), an encoder independent of ours.
const char kHelloText[] = "hello hello hello hello hello hello!";
const char kHelloStream[] = "e00023000d5d00341949ee8de9576f2cd829400000";
// 100 bytes of noise: Python stored them as an uncompressed chunk.
const char kNoiseStream[] =
    "01006300efdecdbcab9a897968574635241302f2e1d0bfae9d8c7b6b5a4938271605f4e4d3c2b1a08f7e6d5d4"
    "c3b2a1908f7e6d6c5b4a39281705f4f3e2d1c0bfae9d8c8b7a6958473625141301f0efdecdbcabaa998877"
    "665544333221100efdecdbcac9b8a7900";

QByteArray noiseText()
{
    QByteArray data;
    for (int i = 0; i < 100; ++i)
        data += char((i * 7919 + (i >> 3)) & 0xFF);
    return data;
}

QByteArray varint(uint32_t value)
{
    ByteSink sink;
    sink.WriteVarint32(value);
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

QByteArray block(uint8_t property, uint32_t size, const char *hexStream)
{
    return QByteArray(1, char(property)) + varint(size) + QByteArray::fromHex(hexStream);
}

QByteArray bytesOf(const ByteSink &sink)
{
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

} // namespace

class TestLzma2Block : public QObject
{
    Q_OBJECT

private slots:
    void decodesBlocks_data();
    void decodesBlocks();
    void roundTripsRandomData_data();
    void roundTripsRandomData();
    void choosesTheSmallestDictionaryProperty_data();
    void choosesTheSmallestDictionaryProperty();
};

void TestLzma2Block::decodesBlocks_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("sinkBefore");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("consumed");
    QTest::addColumn<QString>("error");

    const QByteArray hello = block(8, 36, kHelloStream);
    QTest::newRow("text") << hello << QByteArray() << true << QByteArray(kHelloText) << hello.size()
                          << QString();
    QTest::newRow("field after the block")
        << hello + "XYZ" << QByteArray() << true << QByteArray(kHelloText) << hello.size() << QString();
    QTest::newRow("appends to what the sink holds")
        << hello << QByteArray("old:") << true << "old:" + QByteArray(kHelloText) << hello.size()
        << QString();
    const QByteArray noise = block(8, 100, kNoiseStream);
    QTest::newRow("uncompressed chunk")
        << noise << QByteArray() << true << noiseText() << noise.size() << QString();
    QTest::newRow("size 0, empty stream")
        << block(0, 0, "00") + "rest" << QByteArray("kept") << true << QByteArray("kept") << 3 << QString();
    QTest::newRow("property 40 on a small block") << block(40, 36, kHelloStream) << QByteArray() << true
                                                  << QByteArray(kHelloText) << hello.size() << QString();

    const QString uncompressing = QStringLiteral("Error uncompressing data %1");
    QTest::newRow("declared size larger than stream")
        << block(8, 37, kHelloStream) << QByteArray("kept") << false << QByteArray("kept") << 2
        << uncompressing.arg(0);
    QTest::newRow("declared size smaller than stream")
        << block(8, 35, kHelloStream) << QByteArray() << false << QByteArray() << 2 << uncompressing.arg(1);
    QTest::newRow("size 0 but stream has data")
        << block(8, 0, kHelloStream) << QByteArray() << false << QByteArray() << 2 << uncompressing.arg(1);
    // The window is bounded by what the stream can produce, not by the forged size.
    QTest::newRow("forged size and window") << block(40, 0xFFFFFFFF, kHelloStream) << QByteArray() << false
                                            << QByteArray() << 6 << uncompressing.arg(0);
    QTest::newRow("stream ends early") << block(8, 36, kHelloStream).left(12) << QByteArray() << false
                                       << QByteArray() << 2 << uncompressing.arg(6);
    QTest::newRow("end marker missing") << block(8, 36, kHelloStream).chopped(1) << QByteArray() << false
                                        << QByteArray() << 2 << uncompressing.arg(6);
    QTest::newRow("no stream at all")
        << block(8, 36, "") << QByteArray() << false << QByteArray() << 2 << uncompressing.arg(6);
    QTest::newRow("property 41") << block(41, 36, kHelloStream) << QByteArray() << false << QByteArray() << 2
                                 << uncompressing.arg(4);
    QTest::newRow("invalid control byte")
        << block(8, 36, "03") << QByteArray() << false << QByteArray() << 2 << uncompressing.arg(1);
    QTest::newRow("no property byte") << QByteArray() << QByteArray() << false << QByteArray() << 0
                                      << QStringLiteral("Error read LZMA2 properties");
    QTest::newRow("size truncated") << QByteArray::fromHex("0880") << QByteArray() << false << QByteArray()
                                    << 1 << QStringLiteral("Error read LZMA2 unpack size");
}

void TestLzma2Block::decodesBlocks()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, sinkBefore);
    QFETCH(bool, ok);
    QFETCH(QByteArray, output);
    QFETCH(int, consumed);
    QFETCH(QString, error);

    LogCapture log;
    ByteSink sink;
    QVERIFY(sink.Write(sinkBefore.constData(), size_t(sinkBefore.size())));
    ByteSource source(input.constData(), size_t(input.size()));
    QCOMPARE(source.ReadLzma2Block(sink), ok);
    QCOMPARE(bytesOf(sink), output);
    QCOMPARE(int(source.Offset()), consumed);
    if (error.isEmpty()) {
        QVERIFY(log.messages().isEmpty());
    } else {
        QCOMPARE(log.messages(), QStringList{error});
        QCOMPARE(log.levels(), QList<int>{LOG_ERROR});
    }
}

void TestLzma2Block::roundTripsRandomData_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("compressible");

    QTest::newRow("empty") << 0 << true;
    QTest::newRow("one byte") << 1 << false;
    QTest::newRow("noise over a chunk") << 70000 << false;
    QTest::newRow("text over two chunks") << 300000 << true;
    // More compressed bytes than the decoder is given per call, and a window
    // large enough to be mapped on its own.
    QTest::newRow("noise over several input steps") << 4600000 << false;
}

void TestLzma2Block::roundTripsRandomData()
{
    QFETCH(int, size);
    QFETCH(bool, compressible);

    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator random(quint32(size) + 1);
    for (char &c : data)
        c = compressible ? "abcd efgh\n"[random.bounded(10)] : char(random.bounded(256));
    ByteSink packed;
    QVERIFY(packed.Write("#", 1)); // blocks are appended after what is there
    QVERIFY(WriteLzma2Block(data.constData(), size_t(data.size()), packed));
    if (compressible && size > 1000)
        QVERIFY(packed.Length() < size_t(size) / 2);
    QVERIFY(packed.Write("tail", 4));

    ByteSource source(packed.Data(), packed.Length());
    QVERIFY(source.Skip(1));
    ByteSink unpacked;
    // What the decoder reports as used only grows and never passes the block's
    // end: a caller releases the input up to there.
    std::vector<const uint8_t *> used;
    QVERIFY(source.ReadLzma2Block(unpacked, [&used](const uint8_t *position) { used.push_back(position); }));
    QCOMPARE(bytesOf(unpacked), data);
    QCOMPARE(source.Remaining(), size_t(4));
    QVERIFY(!used.empty());
    QVERIFY(std::is_sorted(used.begin(), used.end()));
    QVERIFY(used.front() > packed.Data() + 1);
    QCOMPARE(used.back(), source.Position());

    // Cut inside the compressed bytes, the block fails as a stream that ends early.
    ByteSource truncated(packed.Data() + 1, (packed.Length() - 5) * 3 / 4);
    if (truncated.Remaining() > 8) {
        LogCapture log;
        ByteSink partial;
        QVERIFY(!truncated.ReadLzma2Block(partial));
        QCOMPARE(log.messages(), QStringList{QStringLiteral("Error uncompressing data 6")});
    }
}

void TestLzma2Block::choosesTheSmallestDictionaryProperty_data()
{
    QTest::addColumn<uint>("dictionary");
    QTest::addColumn<int>("property");

    QTest::newRow("4 KiB") << 4096u << 0;
    QTest::newRow("one more") << 4097u << 1;
    QTest::newRow("6 KiB") << 6144u << 1;
    QTest::newRow("64 KiB") << 65536u << 8;
    QTest::newRow("64 MiB") << 64u * 1024 * 1024 << 28;
    QTest::newRow("3 GiB") << 3u * 1024 * 1024 * 1024 << 39;
    QTest::newRow("above 3 GiB") << 0xC0000001u << 40;
}

void TestLzma2Block::choosesTheSmallestDictionaryProperty()
{
    QFETCH(uint, dictionary);
    QFETCH(int, property);
    QCOMPARE(int(Lzma2PropertyForDictionary(dictionary)), property);
}

QTEST_APPLESS_MAIN(TestLzma2Block)
#include "testlzma2block.moc"
