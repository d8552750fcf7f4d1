#include "diffstream.h"
#include "diffstreamgenerator.h"
#include "logcapture.h"
#include "lzmaioout.h"
#include "streams.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace vxpatch;

namespace {

struct Triple
{
    int32_t d;
    int32_t e;
    int32_t s;
};

QByteArray bytesOf(const ByteSink &sink)
{
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

QByteArray controlOf(std::initializer_list<Triple> triples)
{
    ByteSink sink;
    for (const Triple &t : triples) {
        sink.WriteVarint32Signed(t.d);
        sink.WriteVarint32Signed(t.e);
        sink.WriteVarint32Signed(t.s);
    }
    return bytesOf(sink);
}

QByteArray varint(uint32_t value)
{
    ByteSink sink;
    sink.WriteVarint32(value);
    return bytesOf(sink);
}

QByteArray lzma2(const QByteArray &data)
{
    ByteSink sink;
    WriteLzma2Block(data.constData(), size_t(data.size()), sink);
    return bytesOf(sink);
}

QByteArray plainBlocks(const QByteArray &control, const QByteArray &diff, const QByteArray &extra)
{
    return varint(uint32_t(control.size())) + varint(uint32_t(diff.size())) + varint(uint32_t(extra.size())) +
           control + diff + extra;
}

// A diff stream without header in the given method.
QByteArray diffStream(int method, uint32_t newSize, const QByteArray &control, const QByteArray &diff,
                      const QByteArray &extra)
{
    QByteArray stream = QByteArray(1, char(method)) + varint(newSize);
    if (method == 0)
        return stream + plainBlocks(control, diff, extra);
    if (method == 1)
        return stream + lzma2(control) + lzma2(diff) + lzma2(extra);
    return stream + lzma2(plainBlocks(control, diff, extra));
}

QByteArray withHeader(uint32_t checksum, const QByteArray &stream)
{
    return "VXDIFF10" + varint(checksum) + stream;
}

uint32_t checksumOf(const QByteArray &data)
{
    return CalculateChecksum(data.constData(), size_t(data.size()));
}

} // namespace

class TestDiffStream : public QObject
{
    Q_OBJECT

private slots:
    void applies_data();
    void applies();
    void roundTripsGeneratedDiffs_data();
    void roundTripsGeneratedDiffs();
};

void TestDiffStream::applies_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<bool>("header");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("leftOver"); // bytes behind the cursor after success

    const QByteArray old = QByteArray::fromHex("01020304");
    const QByteArray added = QByteArray::fromHex("02030405");
    const QByteArray ones = QByteArray::fromHex("01010101");
    const QByteArray step = controlOf({{4, 0, 0}});
    for (int method : {0, 1, 2}) {
        const QString m = QStringLiteral(" (method %1)").arg(method);
        QTest::newRow(qPrintable("adds old bytes" + m))
            << old << diffStream(method, 4, step, ones, QByteArray()) + "next" << false << true << added
            << QStringList() << 4;
        QTest::newRow(qPrintable("with header" + m))
            << old << withHeader(checksumOf(added), diffStream(method, 4, step, ones, QByteArray())) << true
            << true << added << QStringList() << 0;
        QTest::newRow(qPrintable("empty result" + m))
            << old << diffStream(method, 0, QByteArray(), QByteArray(), QByteArray()) << false << true
            << QByteArray() << QStringList() << 0;
    }
    QTest::newRow("extra bytes and seeks")
        << QByteArray("abcdef")
        << diffStream(0, 9, controlOf({{2, 1, 2}, {2, 2, -4}, {2, 0, 0}}), QByteArray(6, '\0'), "XYZ")
        << false << true << QByteArray("abXefYZcd") << QStringList() << 0;
    QTest::newRow("adds modulo 256") << QByteArray::fromHex("ff80")
                                     << diffStream(0, 2, controlOf({{2, 0, 0}}), QByteArray::fromHex("0280"),
                                                   "")
                                     << false << true << QByteArray::fromHex("0100") << QStringList() << 0;
    QTest::newRow("left-over control, diff and extra are ignored")
        << old << diffStream(0, 4, controlOf({{4, 0, 0}, {1, 1, 1}}), ones + "d", "e") << false << true
        << added << QStringList() << 0;
    QTest::newRow("new size 0 reads no triple") << old << diffStream(0, 0, "\x80", QByteArray(), QByteArray())
                                                << false << true << QByteArray() << QStringList() << 0;

    const QStringList none;
    QTest::newRow("method 3 before the size")
        << old << QByteArray("\x03", 1) << false << false << QByteArray()
        << QStringList{"Invalid compression method"} << 0;
    QTest::newRow("no method") << old << QByteArray() << false << false << QByteArray() << none << 0;
    QTest::newRow("no size") << old << QByteArray("\x00\x80", 2) << false << false << QByteArray() << none
                             << 0;
    QTest::newRow("blocks longer than the patch")
        << old << diffStream(0, 4, step, ones, QByteArray()).chopped(1) << false << false << QByteArray()
        << none << 0;
    QTest::newRow("lengths missing") << old << QByteArray::fromHex("00040301") << false << false
                                     << QByteArray() << none << 0;
    QTest::newRow("broken LZMA2 block")
        << old << diffStream(1, 4, step, ones, QByteArray()).left(6) << false << false << QByteArray()
        << QStringList{"Error uncompressing data 6"} << 0;
    QTest::newRow("e past the new size")
        << old << diffStream(0, 5, controlOf({{4, 2, 0}}), ones, "ab") << false << false << QByteArray()
        << QStringList{"Corrupt patch"} << 0;
    QTest::newRow("control ends early")
        << old << diffStream(0, 8, controlOf({{4, 0, 0}}), ones, QByteArray()) << false << false
        << QByteArray() << QStringList{"Corrupt patch reading control"} << 0;
    QTest::newRow("control ends inside a triple")
        << old << diffStream(0, 4, controlOf({{4, 0, 0}}).left(2), ones, QByteArray()) << false << false
        << QByteArray() << QStringList{"Corrupt patch reading control"} << 0;
    QTest::newRow("seek below 0, then d > 0")
        << old << diffStream(0, 3, controlOf({{1, 0, -2}, {2, 0, 0}}), QByteArray(3, 0), QByteArray())
        << false << false << QByteArray() << none << 0;
    QTest::newRow("seek below 0, then only extra")
        << old << diffStream(0, 3, controlOf({{1, 0, -2}, {0, 2, 0}}), QByteArray(1, 0), "xy") << false
        << false << QByteArray() << none << 0;
    QTest::newRow("d past the old bytes")
        << old << diffStream(0, 5, controlOf({{5, 0, 0}}), ones + QByteArray(1, 0), QByteArray()) << false
        << false << QByteArray() << none << 0;
    QTest::newRow("seek past the old bytes")
        << old << diffStream(0, 2, controlOf({{1, 0, 10}, {1, 0, 0}}), QByteArray(2, 0), QByteArray())
        << false << false << QByteArray() << none << 0;
    QTest::newRow("negative d") << old << diffStream(0, 4, controlOf({{-1, 0, 0}}), ones, QByteArray())
                                << false << false << QByteArray() << none << 0;
    QTest::newRow("d past the diff bytes") << old << diffStream(0, 4, step, "\1\1\1", QByteArray()) << false
                                           << false << QByteArray() << none << 0;
    QTest::newRow("d past the new size")
        << old << diffStream(0, 3, step, ones, QByteArray()) << false << false << QByteArray() << none << 0;
    QTest::newRow("negative e") << old << diffStream(0, 4, controlOf({{0, -1, 0}}), ones, "abcd") << false
                                << false << QByteArray() << none << 0;
    QTest::newRow("e past the extra bytes") << old << diffStream(0, 4, controlOf({{0, 4, 0}}), ones, "abc")
                                            << false << false << QByteArray() << none << 0;
    QTest::newRow("size beyond diff and extra")
        << old << diffStream(0, 0xFFFFFFFF, step, ones, QByteArray()) << false << false << QByteArray()
        << QStringList{"Corrupt patch reading control"} << 0;

    const QByteArray good = diffStream(0, 4, step, ones, QByteArray());
    QTest::newRow("wrong magic") << old << "VXDIFF11" + varint(0) + good << true << false << QByteArray()
                                 << QStringList{"Corrupt patch header"} << 0;
    QTest::newRow("magic cut short") << old << QByteArray("VXDIFF1") << true << false << QByteArray() << none
                                     << 0;
    QTest::newRow("checksum missing") << old << QByteArray("VXDIFF10") << true << false << QByteArray()
                                      << QStringList{"Could not read crc"} << 0;
    QTest::newRow("wrong checksum") << old << withHeader(checksumOf(added) ^ 1, good) << true << false
                                    << added << QStringList{"crc mismatch"} << 0;
    QTest::newRow("headerless diff read with header")
        << old << good << true << false << QByteArray() << QStringList{"Corrupt patch header"} << 0;
}

void TestDiffStream::applies()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, patch);
    QFETCH(bool, header);
    QFETCH(bool, ok);
    QFETCH(QByteArray, output);
    QFETCH(QStringList, messages);
    QFETCH(int, leftOver);

    LogCapture log;
    const ByteSource oldSource(oldBytes.constData(), size_t(oldBytes.size()));
    ByteSource patchSource(patch.constData(), size_t(patch.size()));
    ByteSink out;
    QCOMPARE(ApplyDiffStream(oldSource, patchSource, out, header), ok);
    QCOMPARE(log.messages(), messages);
    if (ok || !output.isEmpty()) // a crc mismatch is found after the whole output was built
        QCOMPARE(bytesOf(out), output);
    if (ok)
        QCOMPARE(int(patchSource.Remaining()), leftOver);
}

void TestDiffStream::roundTripsGeneratedDiffs_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<bool>("header");

    for (int method : {0, 1, 2}) {
        QTest::newRow(qPrintable(QStringLiteral("method %1").arg(method))) << method << false;
        QTest::newRow(qPrintable(QStringLiteral("method %1 with header").arg(method))) << method << true;
    }
}

void TestDiffStream::roundTripsGeneratedDiffs()
{
    QFETCH(int, method);
    QFETCH(bool, header);

    QRandomGenerator random(quint32(method * 2 + header + 1));
    QByteArray oldBytes(20000, Qt::Uninitialized);
    for (char &c : oldBytes)
        c = char(random.bounded(256));
    // An edited copy: changed bytes, an insertion, a deletion and a moved block.
    QByteArray newBytes = oldBytes;
    for (int i = 0; i < 200; ++i)
        newBytes[int(random.bounded(newBytes.size()))] = char(random.bounded(256));
    newBytes.insert(5000, QByteArray(300, 'n'));
    newBytes.remove(12000, 700);
    newBytes += oldBytes.mid(100, 2000);

    ByteSink patch;
    QVERIFY(GenerateDiffStream(reinterpret_cast<const uint8_t *>(oldBytes.constData()),
                               size_t(oldBytes.size()),
                               reinterpret_cast<const uint8_t *>(newBytes.constData()),
                               size_t(newBytes.size()), method, header, patch));
    if (method != 0)
        QVERIFY(patch.Length() < size_t(newBytes.size()) / 4);
    ByteSource patchSource(patch.Data(), patch.Length());
    ByteSink out;
    QVERIFY(
        ApplyDiffStream(ByteSource(oldBytes.constData(), size_t(oldBytes.size())), patchSource, out, header));
    QVERIFY(patchSource.Empty());
    QCOMPARE(bytesOf(out), newBytes);
}

QTEST_APPLESS_MAIN(TestDiffStream)
#include "testdiffstream.moc"
