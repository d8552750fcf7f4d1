#include "diffstream.h"
#include "diffstreamgenerator.h"
#include "logcapture.h"
#include "streams.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace vxpatch;

namespace {

QByteArray randomBytes(QRandomGenerator &rng, int size)
{
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(rng.bounded(256));
    return bytes;
}

// Old data that looks like code: random, with some repeated snippets so that
// matches are not all unique.
QByteArray codeLike(QRandomGenerator &rng, int size)
{
    QByteArray bytes;
    const QByteArray snippets[] = {randomBytes(rng, 12), randomBytes(rng, 7), randomBytes(rng, 31)};
    while (bytes.size() < size) {
        if (rng.bounded(4) == 0)
            bytes += snippets[rng.bounded(3)];
        else
            bytes += randomBytes(rng, 1 + int(rng.bounded(64)));
    }
    bytes.truncate(size);
    return bytes;
}

enum Edit
{
    ChangeBytes,
    Insert,
    Delete,
    MoveBlock,
    ShiftWords,
};

// A "next version" of `old` with `count` edits of the given kind.
QByteArray edited(const QByteArray &old, Edit edit, int count, quint32 seed)
{
    QRandomGenerator rng(seed);
    QByteArray result = old;
    for (int i = 0; i < count; ++i) {
        const int at = int(rng.bounded(quint32(result.size() + 1)));
        switch (edit) {
        case ChangeBytes:
            for (int k = 0; k < 4 && at + k < result.size(); ++k)
                result[at + k] = char(rng.bounded(256));
            break;
        case Insert:
            result.insert(at, randomBytes(rng, 1 + int(rng.bounded(40))));
            break;
        case Delete:
            result.remove(at, 1 + int(rng.bounded(40)));
            break;
        case MoveBlock: {
            const int length = qMin(result.size() / 8, 4096);
            const int from = int(rng.bounded(quint32(result.size() - length)));
            const QByteArray block = result.mid(from, length);
            result.remove(from, length);
            result.insert(int(rng.bounded(quint32(result.size() + 1))), block);
            break;
        }
        case ShiftWords: {
            // what relinking does to addresses: a constant added to words
            const int word = qMin(at, result.size() - 4) & ~3;
            quint32 value;
            memcpy(&value, result.constData() + word, 4);
            value += 0x1000;
            memcpy(result.data() + word, &value, 4);
            break;
        }
        }
    }
    return result;
}

QByteArray bytesOf(const ByteSink &sink)
{
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

const uchar *dataOf(const QByteArray &bytes)
{
    return reinterpret_cast<const uchar *>(bytes.constData());
}

ByteSink generate(const QByteArray &oldBytes, const QByteArray &newBytes, int method, bool header)
{
    ByteSink diff;
    const bool ok = GenerateDiffStream(dataOf(oldBytes), size_t(oldBytes.size()), dataOf(newBytes),
                                       size_t(newBytes.size()), method, header, diff);
    if (!ok)
        diff.Clear();
    return diff;
}

// Lengths of the control, diff and extra blocks of a method 0 stream without header.
struct PlainLayout
{
    uint32_t newSize = 0, control = 0, diff = 0, extra = 0;
};

bool readPlainLayout(const ByteSink &stream, PlainLayout &layout)
{
    ByteSource source;
    source.Init(stream);
    uint8_t method;
    return source.Read(&method, 1) && method == 0 && source.ReadVarint32(layout.newSize) &&
           source.ReadVarint32(layout.control) && source.ReadVarint32(layout.diff) &&
           source.ReadVarint32(layout.extra) &&
           source.Remaining() == size_t(layout.control) + layout.diff + layout.extra;
}

} // namespace

class TestDiffStreamGenerator : public QObject
{
    Q_OBJECT

private slots:
    void roundTrips_data();
    void roundTrips();
    void similarInputsNeedFewExtraBytes_data();
    void similarInputsNeedFewExtraBytes();
    void shiftedUniformRegionIsOneMatch();
    void diffOfSimilarMegabyteIsSmall_data();
    void diffOfSimilarMegabyteIsSmall();
    void writesHeaderMethodAndSize_data();
    void writesHeaderMethodAndSize();
    void rejectsUnknownMethod();
};

void TestDiffStreamGenerator::roundTrips_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("newBytes");
    QTest::addColumn<int>("method");
    QTest::addColumn<bool>("header");

    QRandomGenerator rng(4711);
    const QByteArray base = codeLike(rng, 96 * 1024);
    const QByteArray zeros(64 * 1024, '\0');
    const struct
    {
        const char *name;
        QByteArray oldBytes, newBytes;
    } cases[] = {
        {"identical", base, base},
        {"changed bytes", base, edited(base, ChangeBytes, 50, 1)},
        {"insertions", base, edited(base, Insert, 50, 2)},
        {"deletions", base, edited(base, Delete, 50, 3)},
        {"moved blocks", base, edited(base, MoveBlock, 6, 4)},
        {"shifted words", base, edited(base, ShiftWords, 400, 5)},
        {"all edits", base, edited(edited(edited(base, Insert, 20, 6), Delete, 20, 7), MoveBlock, 3, 8)},
        {"empty old", QByteArray(), base.left(5000)},
        {"empty new", base, QByteArray()},
        {"both empty", QByteArray(), QByteArray()},
        {"one byte each", QByteArray("a"), QByteArray("b")},
        {"unrelated", randomBytes(rng, 20000), randomBytes(rng, 30000)},
        {"new is a piece of old", base, base.mid(40000, 9000)},
        {"old is a piece of new", base.mid(1000, 3000), base},
        {"shifted zero run", zeros, QByteArray("x") + zeros + QByteArray(3, '\1')},
        {"periodic", QByteArray(30000, 'a') + QByteArray(30000, 'b'), QByteArray(30001, 'a') + "c"},
    };
    for (const auto &c : cases) {
        for (int method = 0; method <= 2; ++method) {
            for (bool header : {false, true}) {
                QTest::addRow("%s, method %d%s", c.name, method, header ? ", header" : "")
                    << c.oldBytes << c.newBytes << method << header;
            }
        }
    }
}

// Every row is generated once per method and header form and must rebuild the
// new bytes exactly, with the reader consuming the whole stream.
void TestDiffStreamGenerator::roundTrips()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, newBytes);
    QFETCH(int, method);
    QFETCH(bool, header);

    LogCapture log;
    ByteSink diff = generate(oldBytes, newBytes, method, header);
    QVERIFY2(diff.Length() > 0, qPrintable(log.messages().join('\n')));

    ByteSource oldSource(oldBytes.constData(), size_t(oldBytes.size()));
    ByteSource patch;
    patch.Init(diff);
    ByteSink rebuilt;
    QVERIFY2(ApplyDiffStream(oldSource, patch, rebuilt, header), qPrintable(log.messages().join('\n')));
    QCOMPARE(bytesOf(rebuilt), newBytes);
    QVERIFY(patch.Empty());
    QVERIFY(log.messages().isEmpty());
}

void TestDiffStreamGenerator::similarInputsNeedFewExtraBytes_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("newBytes");
    QTest::addColumn<int>("maxExtra");

    QRandomGenerator rng(99);
    const QByteArray base = codeLike(rng, 128 * 1024);
    // Changed bytes and shifted words must become diff bytes, not literal runs;
    // moved blocks must be found at their old place.
    QTest::newRow("changed bytes") << base << edited(base, ChangeBytes, 100, 11) << 400;
    QTest::newRow("shifted words") << base << edited(base, ShiftWords, 1000, 12) << 400;
    QTest::newRow("moved blocks") << base << edited(base, MoveBlock, 8, 13) << 400;
    QTest::newRow("insertions") << base << edited(base, Insert, 40, 14) << 40 * 40 + 400;
}

void TestDiffStreamGenerator::similarInputsNeedFewExtraBytes()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, newBytes);
    QFETCH(int, maxExtra);

    ByteSink diff = generate(oldBytes, newBytes, kDiffMethodPlain, false);
    PlainLayout layout;
    QVERIFY(readPlainLayout(diff, layout));
    QCOMPARE(layout.newSize, uint32_t(newBytes.size()));
    QCOMPARE(layout.diff + layout.extra, uint32_t(newBytes.size()));
    QVERIFY2(layout.extra <= uint32_t(maxExtra), qPrintable(QString::number(layout.extra)));
}

// Every start inside a long uniform region matches almost as well as the
// current alignment; trying each of them would take quadratic time (minutes
// here, so the test's time-out would catch it).
void TestDiffStreamGenerator::shiftedUniformRegionIsOneMatch()
{
    const QByteArray oldBytes(2 * 1024 * 1024, '\0');
    const QByteArray newBytes = "x" + oldBytes;

    ByteSink diff = generate(oldBytes, newBytes, kDiffMethodPlain, false);
    PlainLayout layout;
    QVERIFY(readPlainLayout(diff, layout));
    QCOMPARE(layout.extra, 1u);

    ByteSource oldSource(oldBytes.constData(), size_t(oldBytes.size()));
    ByteSource patch;
    patch.Init(diff);
    ByteSink rebuilt;
    QVERIFY(ApplyDiffStream(oldSource, patch, rebuilt, false));
    QVERIFY(bytesOf(rebuilt) == newBytes);
}

void TestDiffStreamGenerator::diffOfSimilarMegabyteIsSmall_data()
{
    QTest::addColumn<int>("method");
    QTest::newRow("three LZMA2 blocks") << int(kDiffMethodLzma2Blocks);
    QTest::newRow("one LZMA2 block") << int(kDiffMethodLzma2Whole);
}

void TestDiffStreamGenerator::diffOfSimilarMegabyteIsSmall()
{
    QFETCH(int, method);
    QRandomGenerator rng(2024);
    // Incompressible on its own: only matching against the old bytes can make the diff small.
    const QByteArray oldBytes = randomBytes(rng, 1024 * 1024);
    QByteArray newBytes = edited(oldBytes, ShiftWords, 2000, 21);
    newBytes = edited(newBytes, ChangeBytes, 200, 22);
    newBytes = edited(newBytes, Insert, 100, 23);
    newBytes = edited(newBytes, Delete, 100, 24);
    newBytes = edited(newBytes, MoveBlock, 10, 25);

    ByteSink diff = generate(oldBytes, newBytes, method, true);
    QVERIFY(diff.Length() > 0);
    QVERIFY2(diff.Length() < size_t(newBytes.size()) / 20, qPrintable(QString::number(diff.Length())));

    ByteSource oldSource(oldBytes.constData(), size_t(oldBytes.size()));
    ByteSource patch;
    patch.Init(diff);
    ByteSink rebuilt;
    QVERIFY(ApplyDiffStream(oldSource, patch, rebuilt, true));
    QVERIFY(bytesOf(rebuilt) == newBytes);
}

void TestDiffStreamGenerator::writesHeaderMethodAndSize_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<bool>("header");
    for (int method = 0; method <= 2; ++method) {
        QTest::addRow("method %d", method) << method << false;
        QTest::addRow("method %d, header", method) << method << true;
    }
}

void TestDiffStreamGenerator::writesHeaderMethodAndSize()
{
    QFETCH(int, method);
    QFETCH(bool, header);
    const QByteArray oldBytes("the old text of a file");
    const QByteArray newBytes(300, 'n'); // a size of two varint bytes

    ByteSink diff = generate(oldBytes, newBytes, method, header);
    ByteSource source;
    source.Init(diff);
    if (header) {
        char magic[8];
        QVERIFY(source.Read(magic, 8));
        QCOMPARE(QByteArray(magic, 8), QByteArray("VXDIFF10"));
        uint32_t checksum;
        QVERIFY(source.ReadVarint32(checksum));
        QCOMPARE(checksum, CalculateChecksum(newBytes.constData(), size_t(newBytes.size())));
    }
    uint8_t storedMethod;
    uint32_t newSize;
    QVERIFY(source.Read(&storedMethod, 1));
    QCOMPARE(int(storedMethod), method);
    QVERIFY(source.ReadVarint32(newSize));
    QCOMPARE(newSize, 300u);
}

void TestDiffStreamGenerator::rejectsUnknownMethod()
{
    LogCapture log;
    ByteSink diff;
    const uchar bytes[] = {1, 2, 3};
    QVERIFY(!GenerateDiffStream(bytes, 3, bytes, 3, 3, false, diff));
    QCOMPARE(log.last(), QStringLiteral("Invalid compression method"));
    QCOMPARE(log.levels().value(0), int(LOG_ERROR));
}

QTEST_APPLESS_MAIN(TestDiffStreamGenerator)
#include "testdiffstreamgenerator.moc"
