#include "streams.h"

#include <QRandomGenerator>
#include <QtTest>
#include <zlib.h>

using namespace vxpatch;

namespace {

QByteArray bytesOf(const ByteSink &sink)
{
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

QByteArray bytesOf(const ByteSource &source)
{
    return QByteArray(reinterpret_cast<const char *>(source.Position()), int(source.Remaining()));
}

} // namespace

class TestStreams : public QObject
{
    Q_OBJECT

private slots:
    void readsVarint32_data();
    void readsVarint32();
    void writesShortestVarint32_data();
    void writesShortestVarint32();
    void mapsSignedVarints_data();
    void mapsSignedVarints();
    void failedReadsDoNotMoveTheCursor();
    void sharesSubstreams();
    void growsByDoublingAndReservesExactly();
    void failedSinkStaysFailed();
    void appendFreesTheOtherSink();
    void parsesSerializedSets_data();
    void parsesSerializedSets();
    void copiesAnEmptySinkSetAsFifteenBytes();
    void roundTripsASerializedSet();
    void copiesOnlyTheFirstStreamsWhenAsked();
    void nestsSetsWithoutTrailingEmptyStreams();
    void readsConsecutiveNestedSets();
    void rejectsMalformedNestedSets_data();
    void rejectsMalformedNestedSets();
    void refusesToSerializeAFailedStream();
    void calculatesChecksum_data();
    void calculatesChecksum();
    void checksumIsTheComplementOfZlibCrc();
};

void TestStreams::readsVarint32_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<uint>("value");
    QTest::addColumn<int>("consumed");

    QTest::newRow("zero") << QByteArray::fromHex("00") << true << 0u << 1;
    QTest::newRow("300") << QByteArray::fromHex("ac02") << true << 300u << 2;
    QTest::newRow("set magic") << QByteArray::fromHex("ea9aca09") << true << 20090218u << 4;
    QTest::newRow("stops at clear high bit") << QByteArray::fromHex("7fff") << true << 127u << 1;
    QTest::newRow("five bytes max") << QByteArray::fromHex("ffffffff0f") << true << 0xFFFFFFFFu << 5;
    QTest::newRow("bits beyond 32 dropped") << QByteArray::fromHex("ffffffff7f") << true << 0xFFFFFFFFu << 5;
    QTest::newRow("non-minimal form") << QByteArray::fromHex("8000") << true << 0u << 2;
    QTest::newRow("fifth byte with high bit") << QByteArray::fromHex("ffffffff80") << false << 0u << 0;
    QTest::newRow("ends inside number") << QByteArray::fromHex("ffff") << false << 0u << 0;
    QTest::newRow("empty") << QByteArray() << false << 0u << 0;
}

void TestStreams::readsVarint32()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, ok);
    QFETCH(uint, value);
    QFETCH(int, consumed);

    ByteSource source(input.constData(), size_t(input.size()));
    uint32_t read = 12345;
    QCOMPARE(source.ReadVarint32(read), ok);
    QCOMPARE(int(source.Offset()), consumed);
    if (ok)
        QCOMPARE(read, uint32_t(value));
    else
        QCOMPARE(read, 12345u);
}

void TestStreams::writesShortestVarint32_data()
{
    QTest::addColumn<uint>("value");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("0") << 0u << QByteArray::fromHex("00");
    QTest::newRow("127") << 127u << QByteArray::fromHex("7f");
    QTest::newRow("128") << 128u << QByteArray::fromHex("8001");
    QTest::newRow("300") << 300u << QByteArray::fromHex("ac02");
    QTest::newRow("20090218") << 20090218u << QByteArray::fromHex("ea9aca09");
    QTest::newRow("max") << 0xFFFFFFFFu << QByteArray::fromHex("ffffffff0f");
}

void TestStreams::writesShortestVarint32()
{
    QFETCH(uint, value);
    QFETCH(QByteArray, expected);

    ByteSink sink;
    QVERIFY(sink.WriteVarint32(value));
    QCOMPARE(bytesOf(sink), expected);
    ByteSource source(sink.Data(), sink.Length());
    uint32_t back = 0;
    QVERIFY(source.ReadVarint32(back));
    QCOMPARE(back, uint32_t(value));
    QVERIFY(source.Empty());
}

void TestStreams::mapsSignedVarints_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("encoded");

    QTest::newRow("0") << 0 << QByteArray::fromHex("00");
    QTest::newRow("-1") << -1 << QByteArray::fromHex("01");
    QTest::newRow("1") << 1 << QByteArray::fromHex("02");
    QTest::newRow("-2") << -2 << QByteArray::fromHex("03");
    QTest::newRow("2") << 2 << QByteArray::fromHex("04");
    QTest::newRow("max") << INT32_MAX << QByteArray::fromHex("feffffff0f");
    QTest::newRow("min") << INT32_MIN << QByteArray::fromHex("ffffffff0f");
}

void TestStreams::mapsSignedVarints()
{
    QFETCH(int, value);
    QFETCH(QByteArray, encoded);

    ByteSink sink;
    QVERIFY(sink.WriteVarint32Signed(value));
    QCOMPARE(bytesOf(sink), encoded);
    ByteSource source(encoded.constData(), size_t(encoded.size()));
    int32_t back = 0;
    QVERIFY(source.ReadVarint32Signed(back));
    QCOMPARE(back, int32_t(value));
}

void TestStreams::failedReadsDoNotMoveTheCursor()
{
    const uint8_t data[] = {1, 2, 3};
    ByteSource source(data, sizeof data);
    uint8_t out[4] = {};
    QVERIFY(source.Skip(1));
    QVERIFY(!source.Read(out, 3));
    QVERIFY(!source.Skip(3));
    ByteSource part;
    QVERIFY(!source.ShareSubstream(3, part));
    QCOMPARE(source.Remaining(), size_t(2));
    QVERIFY(source.Read(out, 2));
    QCOMPARE(out[0], uint8_t(2));
    QCOMPARE(out[1], uint8_t(3));
    QVERIFY(source.Empty());
    QVERIFY(source.Read(out, 0));
}

void TestStreams::sharesSubstreams()
{
    const QByteArray data("abcdef");
    ByteSource source(data.constData(), size_t(data.size()));
    ByteSource part;
    QVERIFY(source.Skip(1));
    QVERIFY(source.ShareSubstream(3, part));
    QCOMPARE(bytesOf(part), QByteArray("bcd"));
    QCOMPARE(part.Start(), part.Position());
    QCOMPARE(bytesOf(source), QByteArray("ef"));
}

void TestStreams::growsByDoublingAndReservesExactly()
{
    ByteSink sink;
    QVERIFY(sink.Write("", 0));
    QCOMPARE(sink.Capacity(), size_t(0));
    QVERIFY(sink.Write("x", 1));
    QCOMPARE(sink.Capacity(), size_t(256));
    const QByteArray block(300, 'y');
    QVERIFY(sink.Write(block.constData(), size_t(block.size())));
    QCOMPARE(sink.Capacity(), size_t(512));
    QVERIFY(sink.Reserve(1000));
    QCOMPARE(sink.Capacity(), size_t(1301));
    QVERIFY(sink.Reserve(10)); // fits already: no change
    QCOMPARE(sink.Capacity(), size_t(1301));
    QCOMPARE(bytesOf(sink), "x" + block);

    ByteSink small;
    QVERIFY(small.Reserve(3));
    QCOMPARE(small.Capacity(), size_t(256));
}

void TestStreams::failedSinkStaysFailed()
{
    ByteSink sink;
    QVERIFY(sink.Write("abc", 3));
    QVERIFY(!sink.Reserve(size_t(1) << 62));
    QVERIFY(sink.Failed());
    QCOMPARE(sink.Length(), size_t(0));
    QCOMPARE(sink.Data(), static_cast<const uint8_t *>(nullptr));
    QVERIFY(!sink.Write("d", 1));
    QVERIFY(!sink.Write("", 0));
    QVERIFY(!sink.WriteVarint32(1));
    QVERIFY(!sink.Reserve(1));
    ByteSink other;
    QVERIFY(other.Write("e", 1));
    QVERIFY(!sink.Append(other));
    QCOMPARE(other.Length(), size_t(1)); // not freed when the append failed
    QVERIFY(!other.Append(sink));        // a failed sink has lost its bytes
    QCOMPARE(bytesOf(other), QByteArray("e"));

    ByteSink overflow;
    QVERIFY(overflow.Write("a", 1));
    QVERIFY(!overflow.Reserve(SIZE_MAX));
    QVERIFY(overflow.Failed());
}

void TestStreams::appendFreesTheOtherSink()
{
    ByteSink a;
    ByteSink b;
    QVERIFY(a.Write("12", 2));
    QVERIFY(b.Write("345", 3));
    QVERIFY(a.Append(b));
    QCOMPARE(bytesOf(a), QByteArray("12345"));
    QCOMPARE(b.Length(), size_t(0));
    QCOMPARE(b.Capacity(), size_t(0));

    // Into an empty sink the buffer is taken over; the sink then grows as usual.
    ByteSink empty;
    QVERIFY(empty.Append(a));
    QCOMPARE(a.Length(), size_t(0));
    QCOMPARE(a.Capacity(), size_t(0));
    QVERIFY(empty.Write("6789abcdef", 10));
    QCOMPARE(bytesOf(empty), QByteArray("123456789abcdef"));
}

void TestStreams::parsesSerializedSets_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("streams");

    QTest::newRow("count 0") << QByteArray::fromHex("ea9aca0900") << true << 0 << QStringList();
    QTest::newRow("count 0 with a byte after")
        << QByteArray::fromHex("ea9aca090000") << false << 10 << QStringList();
    QTest::newRow("two streams") << QByteArray::fromHex("ea9aca090201016162") << true << 2
                                 << QStringList{"a", "b"};
    QTest::newRow("empty stream between")
        << QByteArray::fromHex("ea9aca0903010001616263") << false << 10 << QStringList();
    QTest::newRow("three with hole") << QByteArray::fromHex("ea9aca09030100026162") + "c" << true << 3
                                     << QStringList{"a", "", "bc"};
    QTest::newRow("lengths too long")
        << QByteArray::fromHex("ea9aca0901056162") << false << 10 << QStringList();
    QTest::newRow("bytes left over") << QByteArray::fromHex("ea9aca090101616263") << false << 10
                                     << QStringList();
    QTest::newRow("count 11") << QByteArray::fromHex("ea9aca090b0000000000000000000000") << false << 10
                              << QStringList();
    QTest::newRow("wrong magic") << QByteArray::fromHex("ea9aca0a00") << false << 10 << QStringList();
    QTest::newRow("truncated header") << QByteArray::fromHex("ea9aca090201") << false << 10 << QStringList();
    QTest::newRow("empty input") << QByteArray() << false << 10 << QStringList();
}

void TestStreams::parsesSerializedSets()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, ok);
    QFETCH(int, count);
    QFETCH(QStringList, streams);

    ByteSourceSet set;
    QCOMPARE(set.Init(input.constData(), size_t(input.size())), ok);
    QCOMPARE(int(set.count()), count);
    for (size_t i = 0; i < ByteSourceSet::kMaxStreams; ++i) {
        const QByteArray expected = int(i) < streams.size() ? streams[int(i)].toLatin1() : QByteArray();
        QCOMPARE(bytesOf(set.stream(i)), expected);
    }
    QCOMPARE(set.Empty(), streams.join(QString()).isEmpty());
}

void TestStreams::copiesAnEmptySinkSetAsFifteenBytes()
{
    ByteSinkSet set;
    ByteSink out;
    QVERIFY(set.CopyTo(out));
    QCOMPARE(bytesOf(out), QByteArray::fromHex("ea9aca090a00000000000000000000"));
}

void TestStreams::roundTripsASerializedSet()
{
    ByteSinkSet sinks;
    const QByteArray big(200, 'z');
    QVERIFY(sinks.stream(1).Write("one", 3));
    QVERIFY(sinks.stream(9).Write(big.constData(), size_t(big.size())));
    ByteSink out;
    QVERIFY(sinks.CopyTo(out));
    QCOMPARE(sinks.stream(9).Length(), size_t(0)); // copied streams are freed
    QCOMPARE(out.Length(), size_t(4 + 1 + 9 + 2 + 3 + 200));

    ByteSourceSet sources;
    QVERIFY(sources.Init(out.Data(), out.Length()));
    QCOMPARE(sources.count(), size_t(10));
    QCOMPARE(bytesOf(sources.stream(0)), QByteArray());
    QCOMPARE(bytesOf(sources.stream(1)), QByteArray("one"));
    QCOMPARE(bytesOf(sources.stream(9)), big);
}

void TestStreams::copiesOnlyTheFirstStreamsWhenAsked()
{
    ByteSinkSet sinks;
    QVERIFY(sinks.stream(0).Write("p", 1));
    QVERIFY(sinks.stream(1).Write("dd", 2));
    ByteSink out;
    QVERIFY(sinks.CopyTo(out, 2));
    QCOMPARE(bytesOf(out), QByteArray::fromHex("ea9aca0902010270") + "dd");

    QVERIFY(sinks.stream(4).Write("x", 1));
    ByteSink refused;
    QVERIFY(!sinks.CopyTo(refused, 4)); // stream 4 would be lost
    QVERIFY(!sinks.CopyTo(refused, 11));
}

void TestStreams::nestsSetsWithoutTrailingEmptyStreams()
{
    ByteSinkSet outer;
    ByteSinkSet inner;
    QVERIFY(inner.stream(2).Write("xyz", 3));
    QVERIFY(outer.WriteSet(inner));
    QCOMPARE(bytesOf(outer.stream(0)), QByteArray::fromHex("03000003"));
    QCOMPARE(bytesOf(outer.stream(2)), QByteArray("xyz"));
    QCOMPARE(inner.stream(2).Length(), size_t(0));

    ByteSinkSet empty;
    QVERIFY(outer.WriteSet(empty));
    QCOMPARE(bytesOf(outer.stream(0)), QByteArray::fromHex("0300000300"));
}

void TestStreams::readsConsecutiveNestedSets()
{
    ByteSinkSet outer;
    for (int n = 0; n < 3; ++n) {
        ByteSinkSet inner;
        const QByteArray a = QByteArray::number(n);
        const QByteArray b = QByteArray(n + 1, char('a' + n));
        QVERIFY(inner.stream(0).Write(a.constData(), size_t(a.size())));
        if (n != 1)
            QVERIFY(inner.stream(1).Write(b.constData(), size_t(b.size())));
        QVERIFY(outer.WriteSet(inner));
    }
    ByteSink serialized;
    QVERIFY(outer.CopyTo(serialized));

    ByteSourceSet sources;
    QVERIFY(sources.Init(serialized.Data(), serialized.Length()));
    const QStringList first{"0", "1", "2"};
    const QStringList second{"a", "", "ccc"};
    for (int n = 0; n < 3; ++n) {
        ByteSourceSet inner;
        QVERIFY(sources.ReadSet(inner));
        QCOMPARE(bytesOf(inner.stream(0)), first[n].toLatin1());
        QCOMPARE(bytesOf(inner.stream(1)), second[n].toLatin1());
        QVERIFY(bytesOf(inner.stream(2)).isEmpty());
    }
    QVERIFY(sources.Empty());
    ByteSourceSet more;
    QVERIFY(!sources.ReadSet(more));
}

void TestStreams::rejectsMalformedNestedSets_data()
{
    // Outer stream 0 holds the nested header, stream 1 the data of inner stream 1.
    QTest::addColumn<QByteArray>("outer");

    QTest::newRow("count 11") << QByteArray::fromHex("ea9aca09020c010b0000000000000000000000") + "x";
    QTest::newRow("count above outer count") << QByteArray::fromHex("ea9aca090204010300000161");
    QTest::newRow("length past outer stream") << QByteArray::fromHex("ea9aca0902030102000261");
    QTest::newRow("header truncated") << QByteArray::fromHex("ea9aca090202000200");
    QTest::newRow("empty outer set") << QByteArray::fromHex("ea9aca0900");
}

void TestStreams::rejectsMalformedNestedSets()
{
    QFETCH(QByteArray, outer);

    ByteSourceSet sources;
    if (!sources.Init(outer.constData(), size_t(outer.size())))
        QVERIFY(sources.Empty()); // a set that does not even parse reads as empty
    const QByteArray before0 = bytesOf(sources.stream(0));
    const QByteArray before1 = bytesOf(sources.stream(1));
    ByteSourceSet inner;
    QVERIFY(!sources.ReadSet(inner));
    QCOMPARE(bytesOf(sources.stream(0)), before0);
    QCOMPARE(bytesOf(sources.stream(1)), before1);
}

void TestStreams::refusesToSerializeAFailedStream()
{
    ByteSinkSet set;
    QVERIFY(set.stream(3).Write("lost", 4));
    QVERIFY(!set.stream(3).Reserve(size_t(1) << 62));
    ByteSink out;
    QVERIFY(!set.CopyTo(out));
    ByteSinkSet outer;
    QVERIFY(!outer.WriteSet(set));
}

void TestStreams::calculatesChecksum_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("checksum");

    QTest::newRow("empty") << QByteArray() << 0xFFFFFFFFu;
    QTest::newRow("abc") << QByteArray("abc") << 0xCADBBE3Du;
    // The complement of the zip CRC-32 check value of "123456789" (0xCBF43926).
    QTest::newRow("check string") << QByteArray("123456789") << 0x340BC6D9u;
}

void TestStreams::calculatesChecksum()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, checksum);
    QCOMPARE(CalculateChecksum(data.constData(), size_t(data.size())), uint32_t(checksum));
}

void TestStreams::checksumIsTheComplementOfZlibCrc()
{
    QByteArray data(4099, Qt::Uninitialized);
    QRandomGenerator random(7);
    for (char &c : data)
        c = char(random.bounded(256));
    // Every start alignment, with lengths around the eight-byte steps and
    // around the 16- and 64-byte steps of the carry-less multiplication.
    for (int offset = 0; offset < 16; ++offset) {
        for (int length : {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 79, 80, 127, 128, 143, 4083}) {
            const auto *p = reinterpret_cast<const Bytef *>(data.constData() + offset);
            QCOMPARE(CalculateChecksum(p, size_t(length)), uint32_t(~crc32(0, p, uInt(length))));
        }
    }
}

QTEST_APPLESS_MAIN(TestStreams)
#include "teststreams.moc"
