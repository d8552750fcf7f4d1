#include "encodedprogram.h"
#include "logcapture.h"
#include "lzmaioout.h"
#include "preprocessedfile.h"
#include "streams.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace vxpatch;

namespace {

QByteArray bytesOf(const ByteSink &sink)
{
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

QByteArray varint(uint32_t value)
{
    ByteSink sink;
    sink.WriteVarint32(value);
    return bytesOf(sink);
}

uint32_t checksumOf(const QByteArray &data)
{
    return CalculateChecksum(data.constData(), size_t(data.size()));
}

QByteArray header(uint32_t checksum, uint32_t directive)
{
    return varint(kPreprocessedFileMagic) + varint(checksum) + varint(directive);
}

QByteArray lzma2(const QByteArray &data)
{
    ByteSink sink;
    WriteLzma2Block(data.constData(), size_t(data.size()), sink);
    return bytesOf(sink);
}

// A small program: origin 0x1000, the bytes "EXE", a rel32 to 0x1000, then an abs32
// of 0x2000 under the ELF relocation table op.
QByteArray programStreams(bool breakAssembly = false)
{
    EncodedProgram program;
    program.DefineRel32Label(0, 0x1000);
    program.DefineAbs32Label(0, 0x2000);
    program.EndLabels();
    program.AddOrigin(0x1000);
    program.AddCopy(3, reinterpret_cast<const uint8_t *>("EXE"));
    program.AddRel32(breakAssembly ? 5 : 0);
    program.AddElfMakeRelocs();
    program.AddAbs32(0);
    ByteSinkSet set;
    program.WriteTo(set);
    ByteSink out;
    set.CopyTo(out);
    return bytesOf(out);
}

// What programStreams() assembles to.
QByteArray assembledProgram()
{
    return QByteArray("EXE") + QByteArray::fromHex("f9ffffff") + QByteArray::fromHex("0710000008000000") +
           QByteArray::fromHex("00200000");
}

// The headerless method-0 diff that keeps `old` and appends `tail`.
QByteArray keepAndAppend(const QByteArray &old, const QByteArray &tail)
{
    ByteSink control;
    control.WriteVarint32Signed(old.size());
    control.WriteVarint32Signed(tail.size());
    control.WriteVarint32Signed(0);
    const QByteArray c = bytesOf(control);
    return QByteArray(1, '\0') + varint(uint32_t(old.size() + tail.size())) + varint(uint32_t(c.size())) +
           varint(uint32_t(old.size())) + varint(uint32_t(tail.size())) + c + QByteArray(old.size(), '\0') +
           tail;
}

// A directive 2 payload: the given streams as one set of exactly that many streams.
QByteArray payloadSet(const QList<QByteArray> &streams)
{
    ByteSinkSet set;
    for (int i = 0; i < streams.size(); ++i)
        set.stream(size_t(i)).Write(streams[i].constData(), size_t(streams[i].size()));
    ByteSink out;
    set.CopyTo(out, size_t(streams.size()));
    return bytesOf(out);
}

QByteArray directive2(const QList<QByteArray> &streams, uint32_t checksum)
{
    return header(checksum, 2) + lzma2(payloadSet(streams));
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestPreprocessedFile : public QObject
{
    Q_OBJECT

private slots:
    void decompresses_data();
    void decompresses();
    void failsOnMissingInputAndUnwritableOutput();
    void truncatesAnExistingOutput();
    void rejectsEveryTruncation_data();
    void rejectsEveryTruncation();
    void roundTripsPackedFiles_data();
    void roundTripsPackedFiles();

private:
    QTemporaryDir m_dir;
};

void TestPreprocessedFile::decompresses_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("messages");

    const QByteArray text("the unpacked file\n");
    QTest::newRow("directive 1") << header(checksumOf(text), 1) + lzma2(text) << true << text
                                 << QStringList();
    QTest::newRow("garbage after the block")
        << header(checksumOf(text), 1) + lzma2(text) + "garbage" << true << text << QStringList();
    QTest::newRow("empty file") << header(0xFFFFFFFF, 1) + lzma2(QByteArray()) << true << QByteArray()
                                << QStringList();
    const QByteArray exe = assembledProgram();
    const QByteArray wrapped = "head" + exe + "tail";
    // The diff rebuilds the file from the assembled executables: drop nothing, add around.
    ByteSink control;
    for (int v : {0, 4, 0, exe.size(), 4, 0})
        control.WriteVarint32Signed(v);
    const QByteArray c = bytesOf(control);
    const QByteArray wrapDiff = QByteArray(1, '\0') + varint(uint32_t(wrapped.size())) +
                                varint(uint32_t(c.size())) + varint(uint32_t(exe.size())) + varint(8) + c +
                                QByteArray(exe.size(), '\0') + "headtail";
    QTest::newRow("directive 2, one program")
        << directive2({programStreams(), wrapDiff}, checksumOf(wrapped)) << true << wrapped << QStringList();
    const QByteArray twice = exe + exe + "!";
    QTest::newRow("directive 2, programs assembled in order")
        << directive2({programStreams(), programStreams(), keepAndAppend(exe + exe, "!")}, checksumOf(twice))
        << true << twice << QStringList();

    QTest::newRow("one byte 0x80") << QByteArray("\x80", 1) << false << QByteArray()
                                   << QStringList{"could not read lzma header"};
    QTest::newRow("two varints") << varint(kPreprocessedFileMagic) + varint(1) << false << QByteArray()
                                 << QStringList{"could not read lzma header"};
    QTest::newRow("three zero bytes")
        << QByteArray(3, '\0') << false << QByteArray() << QStringList{"not lzma file"};
    QTest::newRow("directive 3") << header(0, 3) + "not even LZMA2" << false << QByteArray()
                                 << QStringList{"Unknown preprocessing dirrective"};
    QTest::newRow("directive 0") << header(0, 0) + lzma2(text) << false << QByteArray()
                                 << QStringList{"Unknown preprocessing dirrective"};
    QTest::newRow("wrong checksum") << header(checksumOf(text) + 1, 1) + lzma2(text) << false << QByteArray()
                                    << QStringList{"crc mismatch"};
    QTest::newRow("directive 1 block cut short")
        << header(checksumOf(text), 1) + lzma2(text).chopped(1) << false << QByteArray()
        << QStringList{"Error uncompressing data 6", "could not decompress file"};
    QTest::newRow("directive 1 block missing")
        << header(checksumOf(text), 1) << false << QByteArray()
        << QStringList{"Error read LZMA2 properties", "could not decompress file"};
    QTest::newRow("directive 2 block broken")
        << header(0, 2) + lzma2(payloadSet({programStreams(), wrapDiff})).left(8) << false << QByteArray()
        << QStringList{"Error uncompressing data 6", "could not decompress file"};
    QTest::newRow("directive 2 payload no set") << header(0, 2) + lzma2("no set") << false << QByteArray()
                                                << QStringList{"could not init dif_and_dis set"};
    QTest::newRow("directive 2 set of one stream")
        << directive2({wrapDiff}, 0) << false << QByteArray() << QStringList{"dis_and_diff too small"};
    QTest::newRow("directive 2 set of no stream")
        << directive2({}, 0) << false << QByteArray() << QStringList{"dis_and_diff too small"};
    QTest::newRow("program stream no set") << directive2({"no set", wrapDiff}, 0) << false << QByteArray()
                                           << QStringList{"could not init program_source set"};
    QTest::newRow("program unreadable") << directive2({payloadSet({"x"}), wrapDiff}, 0) << false
                                        << QByteArray() << QStringList{"could not read encoded program"};
    QTest::newRow("program does not assemble") << directive2({programStreams(true), wrapDiff}, 0) << false
                                               << QByteArray() << QStringList{"could not assemble program"};
    QTest::newRow("diff fails") << directive2({programStreams(), wrapDiff.left(wrapDiff.size() - 9)}, 0)
                                << false << QByteArray() << QStringList{"could not apply diff"};
    QTest::newRow("diff control short")
        << directive2(
               {programStreams(), keepAndAppend(exe, "!").replace(1, 1, varint(uint32_t(exe.size() + 2)))}, 0)
        << false << QByteArray() << QStringList{"Corrupt patch reading control", "could not apply diff"};
    QTest::newRow("directive 2 wrong checksum")
        << directive2({programStreams(), wrapDiff}, checksumOf(wrapped) ^ 0x80000000) << false << QByteArray()
        << QStringList{"crc mismatch"};
}

void TestPreprocessedFile::decompresses()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, ok);
    QFETCH(QByteArray, output);
    QFETCH(QStringList, messages);

    QVERIFY(m_dir.isValid());
    const QString inputPath = m_dir.filePath(QStringLiteral("in._lzma2_"));
    const QString outputPath = m_dir.filePath(QStringLiteral("out"));
    QFile::remove(outputPath);
    QVERIFY(writeFile(inputPath, input));

    LogCapture log;
    QCOMPARE(DecompressPreprocessedFile(QFile::encodeName(inputPath).constData(),
                                        QFile::encodeName(outputPath).constData()),
             ok);
    QCOMPARE(log.messages(), messages);
    QCOMPARE(QFile::exists(outputPath), ok);
    if (ok)
        QCOMPARE(readFile(outputPath), output);
    QCOMPARE(readFile(inputPath), input); // the input is never changed
}

void TestPreprocessedFile::failsOnMissingInputAndUnwritableOutput()
{
    const QByteArray text("x");
    const QByteArray good = header(checksumOf(text), 1) + lzma2(text);
    const QByteArray in = QFile::encodeName(m_dir.filePath(QStringLiteral("good._lzma2_")));
    const QByteArray empty = QFile::encodeName(m_dir.filePath(QStringLiteral("empty._lzma2_")));
    QVERIFY(writeFile(QString::fromLocal8Bit(in), good));
    QVERIFY(writeFile(QString::fromLocal8Bit(empty), QByteArray()));
    const QByteArray out = QFile::encodeName(m_dir.filePath(QStringLiteral("out")));

    LogCapture log;
    QVERIFY(!DecompressPreprocessedFile(
        QFile::encodeName(m_dir.filePath(QStringLiteral("missing"))).constData(), out.constData()));
    QVERIFY(!DecompressPreprocessedFile(empty.constData(), out.constData()));
    QVERIFY(!DecompressPreprocessedFile(QFile::encodeName(m_dir.path()).constData(), out.constData()));
    QCOMPARE(log.messages(), (QStringList{"could not open lzma file", "could not open lzma file",
                                          "could not open lzma file"}));
    QVERIFY(!QFile::exists(QString::fromLocal8Bit(out)));

    log.clear();
    const QByteArray noDir = QFile::encodeName(m_dir.filePath(QStringLiteral("no/such/dir/out")));
    QVERIFY(!DecompressPreprocessedFile(in.constData(), noDir.constData()));
    QCOMPARE(log.messages(), QStringList{"could not write output file"});
    if (QFile::exists(QStringLiteral("/dev/full"))) {
        log.clear();
        QVERIFY(!DecompressPreprocessedFile(in.constData(), "/dev/full"));
        QCOMPARE(log.messages(), QStringList{"could not write output file"});
    }
}

void TestPreprocessedFile::truncatesAnExistingOutput()
{
    const QByteArray text("short");
    const QString in = m_dir.filePath(QStringLiteral("t._lzma2_"));
    const QString out = m_dir.filePath(QStringLiteral("t.out"));
    QVERIFY(writeFile(in, header(checksumOf(text), 1) + lzma2(text)));
    QVERIFY(writeFile(out, QByteArray(1000, 'o')));
    QVERIFY(
        DecompressPreprocessedFile(QFile::encodeName(in).constData(), QFile::encodeName(out).constData()));
    QCOMPARE(readFile(out), text);
}

void TestPreprocessedFile::rejectsEveryTruncation_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("content");

    const QByteArray text = QByteArray("some text, ").repeated(30);
    QTest::newRow("directive 1") << header(checksumOf(text), 1) + lzma2(text) << text;
    const QByteArray exe = assembledProgram();
    QTest::newRow("directive 2") << directive2({programStreams(), keepAndAppend(exe, "tail")},
                                               checksumOf(exe + "tail"))
                                 << exe + "tail";
}

// Every proper prefix fails, and none is read beyond its end: each one is
// copied into a buffer of exactly its size, where the sanitizers see overreads.
void TestPreprocessedFile::rejectsEveryTruncation()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, content);

    LogCapture log; // keeps the expected failure lines out of the test output
    for (int size = 0; size <= file.size(); ++size) {
        std::vector<uint8_t> prefix(file.begin(), file.begin() + size);
        ByteSink out;
        const bool ok = DecompressPreprocessedData(prefix.data(), prefix.size(), out);
        QCOMPARE(ok, size == file.size());
        if (ok)
            QCOMPARE(bytesOf(out), content);
    }
}

void TestPreprocessedFile::roundTripsPackedFiles_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("alphabet");

    QTest::newRow("empty") << 0 << 256;
    QTest::newRow("one byte") << 1 << 256;
    QTest::newRow("noise") << 100000 << 256;
    QTest::newRow("text") << 500000 << 12;
    QTest::newRow("zeros") << 3000000 << 1;
}

void TestPreprocessedFile::roundTripsPackedFiles()
{
    QFETCH(int, size);
    QFETCH(int, alphabet);

    QRandomGenerator random(quint32(size + alphabet));
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(alphabet == 1 ? 0 : random.bounded(alphabet));
    ByteSink packed;
    QVERIFY(WritePreprocessedFile(data.constData(), size_t(data.size()), packed));
    const QByteArray packedBytes = bytesOf(packed);
    QVERIFY(packedBytes.startsWith(QByteArray::fromHex("e9aea83f") + varint(checksumOf(data)) + "\x01"));

    ByteSink unpacked;
    QVERIFY(DecompressPreprocessedData(packed.Data(), packed.Length(), unpacked));
    QCOMPARE(bytesOf(unpacked), data);

    const QString in = m_dir.filePath(QStringLiteral("r._lzma2_"));
    const QString out = m_dir.filePath(QStringLiteral("r.out"));
    QVERIFY(writeFile(in, packedBytes));
    QVERIFY(
        DecompressPreprocessedFile(QFile::encodeName(in).constData(), QFile::encodeName(out).constData()));
    QCOMPARE(readFile(out), data);
}

QTEST_APPLESS_MAIN(TestPreprocessedFile)
#include "testpreprocessedfile.moc"
