#include "elffixture.h"
#include "preprocessedfile.h"
#include "preprocessedfilepacker.h"
#include "streams.h"

#include <QtTest>

using namespace elffixture;

namespace {

QByteArray toBytes(const vxpatch::ByteSink &sink)
{
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

QByteArray x86Image(int seed)
{
    const uint32_t text = sectionAddress(1);
    QByteArray code;
    for (int i = 0; i < 30; ++i) {
        const uint32_t at = text + uint32_t(code.size());
        code += call(at, text + uint32_t(((i * 7 + seed) % 30) * 12));
        code += QByteArray(6 + i % 3, char(0x90)) + QByteArray(1, char(0xC3));
    }
    const uint32_t data = sectionAddress(3);
    return elf32(3, {Section{SHT_PROGBITS, code}, Section{SHT_REL, rel(data, 8) + rel(data + 4, 8), 8},
                     Section{SHT_PROGBITS, le32(text) + le32(text + 12)}});
}

QByteArray noise(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 2654435761u) >> 13);
    return bytes;
}

struct Packed
{
    uint32_t directive = 0;
    uint32_t streams = 0;
};

// The directive and, for directive 2, the number of streams of the payload.
Packed inspect(const vxpatch::ByteSink &file)
{
    Packed packed;
    vxpatch::ByteSource source(file.Data(), file.Length());
    uint32_t magic = 0, checksum = 0;
    source.ReadVarint32(magic);
    source.ReadVarint32(checksum);
    source.ReadVarint32(packed.directive);
    vxpatch::ByteSink payload;
    vxpatch::ByteSourceSet set;
    if (packed.directive == 2 && source.ReadLzma2Block(payload) && set.Init(payload.Data(), payload.Length()))
        packed.streams = uint32_t(set.count());
    return packed;
}

} // namespace

class TestPackedFile : public QObject
{
    Q_OBJECT

private slots:
    void unpacksToTheSameBytes_data();
    void unpacksToTheSameBytes();
};

void TestPackedFile::unpacksToTheSameBytes_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<uint32_t>("directive");
    QTest::addColumn<uint32_t>("streams");

    QTest::newRow("no executable") << noise(5000) << 1u << 0u;
    QTest::newRow("empty file") << QByteArray() << 1u << 0u;
    QTest::newRow("one executable") << x86Image(1) << 2u << 2u;
    QTest::newRow("executables inside other bytes")
        << noise(300) + x86Image(1) + noise(77) + x86Image(2) + noise(10) << 2u << 3u;
    QByteArray many;
    for (int i = 0; i < 11; ++i)
        many += x86Image(i) + noise(5 + i);
    // Nine programs fill the set; the diff carries the rest.
    QTest::newRow("more executables than the set holds") << many << 2u << 10u;
}

void TestPackedFile::unpacksToTheSameBytes()
{
    QFETCH(QByteArray, file);
    QFETCH(uint32_t, directive);
    QFETCH(uint32_t, streams);

    vxpatch::ByteSink packed;
    QVERIFY(vxpatch::WritePackedFile(file.constData(), size_t(file.size()), packed));
    const Packed found = inspect(packed);
    QCOMPARE(found.directive, directive);
    QCOMPARE(found.streams, streams);
    vxpatch::ByteSink unpacked;
    QVERIFY(vxpatch::DecompressPreprocessedData(packed.Data(), packed.Length(), unpacked));
    QCOMPARE(toBytes(unpacked), file);
}

QTEST_APPLESS_MAIN(TestPackedFile)
#include "testpackedfile.moc"
