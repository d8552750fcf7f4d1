#include "encodedprogram.h"
#include "instructionprogram.h"
#include "logcapture.h"
#include "streams.h"

#include <QtTest>
#include <functional>

using namespace vxpatch;

Q_DECLARE_METATYPE(std::function<bool(vxpatch::InstructionProgram &)>)

namespace {

// The arrays of an encoded program as they travel in its streams.
struct ProgramArrays
{
    uint32_t imageBase = 0;
    QVector<uint> ops;
    QVector<uint> origins;
    QVector<uint> copyCounts;
    QByteArray copyBytes;
    QVector<uint> abs32Ix;
    QVector<uint> rel32Ix;
    QVector<uint> abs32Rvas;
    QVector<uint> rel32Rvas;
    QByteArray stream8;
};

void writeVector(ByteSink &sink, const QVector<uint> &values, bool deltas = false)
{
    sink.WriteSizeVarint32(size_t(values.size()));
    uint previous = 0;
    for (uint value : values) {
        sink.WriteVarint32(deltas ? value - previous : value);
        previous = value;
    }
}

// The streams as WriteTo lays them out, with stream 8 as given.
void writeArrays(ByteSinkSet &set, const ProgramArrays &arrays)
{
    set.stream(0).WriteVarint32(arrays.imageBase);
    writeVector(set.stream(0), arrays.origins);
    writeVector(set.stream(1), arrays.ops);
    set.stream(2).WriteSizeVarint32(size_t(arrays.copyBytes.size()));
    set.stream(2).Write(arrays.copyBytes.constData(), size_t(arrays.copyBytes.size()));
    writeVector(set.stream(3), arrays.abs32Ix);
    writeVector(set.stream(4), arrays.rel32Ix);
    writeVector(set.stream(5), arrays.abs32Rvas, true);
    writeVector(set.stream(6), arrays.rel32Rvas, true);
    writeVector(set.stream(7), arrays.copyCounts);
    set.stream(8).Write(arrays.stream8.constData(), size_t(arrays.stream8.size()));
}

ByteSink serialize(const ProgramArrays &arrays)
{
    ByteSinkSet set;
    writeArrays(set, arrays);
    ByteSink out;
    set.CopyTo(out);
    return out;
}

QByteArray bytesOf(const ByteSink &sink)
{
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

QVector<uint> toVector(const std::vector<uint32_t> &values)
{
    return QVector<uint>(values.begin(), values.end());
}

// Reads the arrays back through the real reader and assembles them.
PatchStatus readAndAssemble(const ProgramArrays &arrays, QByteArray &output)
{
    const ByteSink serialized = serialize(arrays);
    ByteSourceSet set;
    if (!set.Init(serialized.Data(), serialized.Length()))
        return kStreamError;
    std::unique_ptr<EncodedProgram> program;
    const PatchStatus status = ReadEncodedProgram(set, program);
    if (status != kPatchOk)
        return status;
    ByteSink out;
    const PatchStatus assembled = program->Assemble(out);
    output = bytesOf(out);
    return assembled;
}

QByteArray le16(std::initializer_list<uint16_t> values)
{
    QByteArray bytes;
    for (uint16_t v : values)
        bytes += char(v & 0xFF), bytes += char(v >> 8);
    return bytes;
}

QByteArray le32(std::initializer_list<uint32_t> values)
{
    QByteArray bytes;
    for (uint32_t v : values)
        bytes += le16({uint16_t(v), uint16_t(v >> 16)});
    return bytes;
}

} // namespace

Q_DECLARE_METATYPE(ProgramArrays)

class TestEncodedProgram : public QObject
{
    Q_OBJECT

private slots:
    void assemblesTheRel32Example();
    void mergesConsecutiveBytesIntoOneCopy();
    void fillsLabelIndexHolesWithThePreviousEntry();
    void assignsIndexesAbs32FirstInAddressOrder();
    void roundTripsThroughStreams();
    void writesTheDocumentedStreamLayout();
    void assembles_data();
    void assembles();
    void rejectsMalformedStreams_data();
    void rejectsMalformedStreams();
    void trimsRarelyUsedArmLabels();
    void failsToTrimABranchWithoutBytes();
    void leavesNonArmProgramsUntrimmed();
    void refusesReferencesWithoutLabel();
    void encodesDirectlyAsAStoredProgram_data();
    void encodesDirectlyAsAStoredProgram();
    void failsADirectRunOnATrimmedBranchWithoutBytes();
};

void TestEncodedProgram::assemblesTheRel32Example()
{
    const uint8_t bytes[] = {0x41, 0x42};
    InstructionProgram program(EXE_ELF_32_X86);
    QVERIFY(program.EmitOrigin(0x1000));
    QVERIFY(program.EmitBytes(bytes, sizeof bytes));
    QVERIFY(program.EmitRel32(program.FindOrMakeRel32Label(0x1010)));
    program.DefaultAssignIndexes();
    std::unique_ptr<EncodedProgram> encoded = program.Encode();
    QVERIFY(encoded);
    ByteSink out;
    QCOMPARE(encoded->Assemble(out), kPatchOk);
    QCOMPARE(bytesOf(out), QByteArray::fromHex("41420a000000"));
}

void TestEncodedProgram::mergesConsecutiveBytesIntoOneCopy()
{
    const uint8_t run[] = {3, 4, 5};
    InstructionProgram program(EXE_ELF_32_X86);
    QVERIFY(program.EmitByte(1));
    QVERIFY(program.EmitByte(2));
    QVERIFY(program.EmitOrigin(0x40));
    QVERIFY(program.EmitByte(9));
    QVERIFY(program.EmitOrigin(0x50));
    QVERIFY(program.EmitBytes(run, sizeof run));
    QVERIFY(program.EmitByte(6));
    std::unique_ptr<EncodedProgram> encoded = program.Encode();
    QVERIFY(encoded);
    QCOMPARE(toVector(encoded->ops()),
             (QVector<uint>{EncodedProgram::COPY, EncodedProgram::ORIGIN, EncodedProgram::COPY1,
                            EncodedProgram::ORIGIN, EncodedProgram::COPY}));
    QCOMPARE(toVector(encoded->copy_counts()), (QVector<uint>{2, 4}));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(encoded->copy_data()), int(encoded->copy_size())),
             QByteArray::fromHex("010209030405 06"));
}

void TestEncodedProgram::fillsLabelIndexHolesWithThePreviousEntry()
{
    EncodedProgram program;
    QVERIFY(program.DefineRel32Label(0, 0x500));
    QVERIFY(program.DefineRel32Label(2, 0x700));
    QVERIFY(program.DefineAbs32Label(1, 0x900));
    QVERIFY(!program.DefineAbs32Label(-1, 0x900));
    program.EndLabels();
    QCOMPARE(toVector(program.rel32_rvas()), (QVector<uint>{0x500, 0x500, 0x700}));
    QCOMPARE(toVector(program.abs32_rvas()), (QVector<uint>{0, 0x900}));
}

void TestEncodedProgram::assignsIndexesAbs32FirstInAddressOrder()
{
    InstructionProgram program(EXE_ELF_32_X86);
    Label *high = program.FindOrMakeRel32Label(0x3000);
    Label *low = program.FindOrMakeRel32Label(0x1000);
    QCOMPARE(program.FindOrMakeRel32Label(0x3000), high);
    Label *abs = program.FindOrMakeAbs32Label(0x2000);
    QCOMPARE(high->count, 2);
    QCOMPARE(high->index, -1);
    program.DefaultAssignIndexes();
    QCOMPARE(low->index, 0);
    QCOMPARE(high->index, 1);
    QCOMPARE(abs->index, 0);

    LogCapture log;
    program.DefaultAssignIndexes(); // a second run reassigns, but says that it should not happen
    QCOMPARE(high->index, 1);
    QCOMPARE(log.messages().count(QStringLiteral("REACHED UNREACHABLE")), 3);
}

void TestEncodedProgram::roundTripsThroughStreams()
{
    const uint8_t code[] = {0x55, 0x89, 0xE5, 0xC3};
    InstructionProgram program(WIN_32_X86);
    program.set_image_base(0x400000);
    QVERIFY(program.EmitOrigin(0x1000));
    QVERIFY(program.EmitBytes(code, sizeof code));
    QVERIFY(program.EmitAbs32(program.FindOrMakeAbs32Label(0x2000)));
    QVERIFY(program.EmitRel32(program.FindOrMakeRel32Label(0x1000)));
    QVERIFY(program.EmitAbs32(program.FindOrMakeAbs32Label(0x1000)));
    QVERIFY(program.EmitPeRelocs());
    QVERIFY(program.EmitByte(0xCC));
    program.DefaultAssignIndexes();
    std::unique_ptr<EncodedProgram> encoded = program.Encode();
    QVERIFY(encoded);

    ByteSinkSet streams;
    QCOMPARE(encoded->WriteTo(streams), kPatchOk);
    ByteSink serialized;
    QVERIFY(streams.CopyTo(serialized));
    ByteSourceSet sources;
    QVERIFY(sources.Init(serialized.Data(), serialized.Length()));
    std::unique_ptr<EncodedProgram> read;
    QCOMPARE(ReadEncodedProgram(sources, read), kPatchOk);
    QVERIFY(read);
    QCOMPARE(read->ops(), encoded->ops());
    QCOMPARE(read->abs32_rvas(), encoded->abs32_rvas());
    QCOMPARE(read->image_base(), uint64_t(0x400000));

    ByteSink direct;
    ByteSink viaStreams;
    QCOMPARE(encoded->Assemble(direct), kPatchOk);
    QCOMPARE(read->Assemble(viaStreams), kPatchOk);
    QCOMPARE(bytesOf(viaStreams), bytesOf(direct));
    // code, abs32 0x402000 at 0x1004, rel32 back to 0x1000 at 0x1008, abs32 0x401000
    // at 0x100C, the table (one block, two entries) and then the byte after the op.
    QCOMPARE(bytesOf(direct), QByteArray::fromHex("5589e5c3") + le32({0x402000, 0xFFFFFFF4, 0x401000}) +
                                  le32({0x1000, 12}) + le16({0x3004, 0x300C}) + QByteArray::fromHex("cc"));
}

void TestEncodedProgram::writesTheDocumentedStreamLayout()
{
    EncodedProgram program;
    program.set_image_base(0x1'0040'0000); // only the low 32 bits are stored
    QVERIFY(program.DefineAbs32Label(0, 0x300));
    QVERIFY(program.DefineAbs32Label(1, 0x100)); // deltas wrap modulo 2^32
    QVERIFY(program.DefineRel32Label(0, 0x10));
    program.EndLabels();
    const uint8_t bytes[] = {0xAA, 0xBB};
    QVERIFY(program.AddOrigin(0x1000));
    QVERIFY(program.AddCopy(2, bytes));
    QVERIFY(program.AddAbs32(1));
    QVERIFY(program.AddRel32Arm(0x30EB, 0));
    ByteSinkSet streams;
    QCOMPARE(program.WriteTo(streams), kPatchOk);
    const QByteArray expected[] = {
        QByteArray::fromHex("80808002 01 8020"), // image base, origins
        QByteArray::fromHex("04 00 01 04 eb61"),
        QByteArray::fromHex("02 aabb"),
        QByteArray::fromHex("01 01"),
        QByteArray::fromHex("01 00"),
        QByteArray::fromHex("02 8006 80fcffff0f"),
        QByteArray::fromHex("01 10"),
        QByteArray::fromHex("01 02"),
        QByteArray(),
        QByteArray(),
    };
    for (int i = 0; i < 10; ++i)
        QCOMPARE(bytesOf(streams.stream(size_t(i))), expected[i]);
}

void TestEncodedProgram::assembles_data()
{
    QTest::addColumn<ProgramArrays>("arrays");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("output");

    using P = EncodedProgram;
    ProgramArrays p;
    p.ops = {P::ORIGIN, P::COPY1, P::REL32};
    p.origins = {0x1000};
    p.copyBytes = "A";
    p.rel32Ix = {0};
    p.rel32Rvas = {0x1000};
    QTest::newRow("rel32 backwards") << p << int(kPatchOk) << QByteArray("A") + le32({0xFFFFFFFB});
    p.rel32Ix = {};
    QTest::newRow("rel32 without index") << p << int(kAssemblyFailed) << QByteArray();
    p.rel32Ix = {1};
    QTest::newRow("rel32 index out of range") << p << int(kAssemblyFailed) << QByteArray();

    p = ProgramArrays();
    p.imageBase = 0x10000000;
    p.ops = {P::ABS32};
    p.abs32Ix = {0};
    p.abs32Rvas = {0xF0000010};
    QTest::newRow("abs32 adds the image base modulo 2^32") << p << int(kPatchOk) << le32({0x10});
    p.abs32Ix = {1};
    QTest::newRow("abs32 index out of range") << p << int(kAssemblyFailed) << QByteArray();
    p.abs32Ix = {};
    QTest::newRow("abs32 without index") << p << int(kAssemblyFailed) << QByteArray();

    p = ProgramArrays();
    p.ops = {P::ORIGIN, P::ABS32, P::ABS32, P::MAKE_PE_RELOCATION_TABLE, P::ORIGIN, P::ABS32, P::COPY1};
    p.origins = {0x1000, 0x2008};
    p.abs32Ix = {0, 0, 0};
    p.abs32Rvas = {0};
    p.copyBytes = "Z";
    QTest::newRow("PE table of two blocks") << p << int(kPatchOk)
                                            << le32({0, 0}) + le32({0x1000, 12}) + le16({0x3000, 0x3004}) +
                                                   le32({0x2000, 12}) + le16({0x3008, 0}) + le32({0}) + "Z";
    p.ops[3] = P::MAKE_PE64_RELOCATION_TABLE;
    QTest::newRow("PE64 table entries of type 10")
        << p << int(kPatchOk)
        << le32({0, 0}) + le32({0x1000, 12}) + le16({0xA000, 0xA004}) + le32({0x2000, 12}) +
               le16({0xA008, 0}) + le32({0}) + "Z";
    p.ops = {P::MAKE_PE_RELOCATION_TABLE};
    QTest::newRow("abs32 indexes left over") << p << int(kAssemblyFailed) << QByteArray(); // leftovers
    p = ProgramArrays();
    p.ops = {P::MAKE_PE_RELOCATION_TABLE};
    QTest::newRow("PE table empty") << p << int(kPatchOk) << QByteArray();
    p.ops = {P::MAKE_PE_RELOCATION_TABLE, P::MAKE_PE64_RELOCATION_TABLE};
    QTest::newRow("second PE table") << p << int(kAssemblyFailed) << QByteArray();
    p.ops = {P::MAKE_ELF_RELOCATION_TABLE, P::MAKE_ELF_ARM_RELOCATION_TABLE};
    QTest::newRow("second ELF table") << p << int(kAssemblyFailed) << QByteArray();
    p.ops = {P::MAKE_PE_RELOCATION_TABLE, P::MAKE_ELF_RELOCATION_TABLE};
    QTest::newRow("PE and ELF table") << p << int(kAssemblyFailed) << QByteArray();

    // A block covers one page: at most 4096 addresses (here all the same one, by rewinding).
    for (const int addresses : {4096, 4097}) {
        p = ProgramArrays();
        for (int i = 0; i < addresses; ++i)
            p.ops << P::ORIGIN << P::ABS32;
        p.ops << P::MAKE_PE_RELOCATION_TABLE;
        p.origins = QVector<uint>(addresses, 0);
        p.abs32Ix = QVector<uint>(addresses, 0);
        p.abs32Rvas = {0};
        if (addresses == 4096)
            QTest::newRow("4096 addresses in one page")
                << p << int(kPatchOk)
                << QByteArray(4 * 4096, '\0') + le32({0, 8 + 2 * 4096}) +
                       QByteArray::fromHex("0030").repeated(4096);
    }
    QTest::newRow("4097 addresses in one page") << p << int(kAssemblyFailed) << QByteArray();

    p = ProgramArrays();
    p.ops = {P::ORIGIN, P::ABS32, P::MAKE_ELF_RELOCATION_TABLE, P::COPY, P::ABS32};
    p.origins = {0x8000};
    p.abs32Ix = {0, 0};
    p.abs32Rvas = {0x8000};
    p.copyCounts = {2};
    p.copyBytes = "xy";
    QTest::newRow("ELF table where the op stood")
        << p << int(kPatchOk) << le32({0x8000}) + le32({0x8000, 8, 0x8006, 8}) + "xy" + le32({0x8000});
    p.ops[2] = P::MAKE_ELF_ARM_RELOCATION_TABLE;
    QTest::newRow("ELF ARM table") << p << int(kPatchOk)
                                   << le32({0x8000}) + le32({0x8000, 23, 0x8006, 23}) + "xy" + le32({0x8000});

    p = ProgramArrays();
    p.ops = {P::ORIGIN, P::COPY};
    p.origins = {0};
    p.copyCounts = {3};
    p.copyBytes = "ab";
    QTest::newRow("copy runs past the bytes") << p << int(kAssemblyFailed) << QByteArray();
    p.copyCounts = {};
    QTest::newRow("copy without count") << p << int(kAssemblyFailed) << QByteArray();
    p.copyCounts = {1};
    QTest::newRow("bytes left over") << p << int(kAssemblyFailed) << QByteArray();
    p.copyCounts = {2, 2};
    QTest::newRow("counts left over") << p << int(kAssemblyFailed) << QByteArray();
    p.ops = {P::COPY1, P::COPY1};
    p.copyCounts = {};
    QTest::newRow("copy one") << p << int(kPatchOk) << QByteArray("ab");
    p.ops = {P::COPY1, P::COPY1, P::COPY1};
    QTest::newRow("copy one past the bytes") << p << int(kAssemblyFailed) << QByteArray();
    p.ops = {P::ORIGIN, P::ORIGIN, P::COPY1, P::COPY1};
    QTest::newRow("origin missing") << p << int(kAssemblyFailed) << QByteArray();
    p.ops = {9};
    QTest::newRow("unknown op 9") << p << int(kAssemblyFailed) << QByteArray();
    p.ops = {0x6000};
    QTest::newRow("unknown op 0x6000") << p << int(kAssemblyFailed) << QByteArray();

    // ARM branches: origin 0x8000, each op re-encoded for its label.
    struct Arm
    {
        const char *name;
        uint op;
        uint target;
        QByteArray bytes;
    };
    const Arm arms[] = {
        {"thumb conditional branch", 0x10D0, 0x8010, le16({0xD006})},
        {"thumb branch backwards", 0x201C, 0x7FF0, le16({0xE7F6})},
        {"arm branch with link", 0x30EB, 0x8048, le32({0xEB000010})},
        {"thumb-2 branch with link", 0x44F7, 0x9000, le16({0xF000, 0xFFFE})},
        {"thumb-2 branch with link backwards", 0x44F7, 0x7000, le16({0xF7FE, 0xFFFE})},
        {"thumb-2 conditional branch", 0x5001, 0x8100, le16({0xF040, 0x807E})},
        {"thumb-2 conditional branch backwards", 0x5001, 0x7F00, le16({0xF47F, 0xAF7E})},
        {"op with high bits above 16", 0x100030EB, 0x8048, le32({0xEB000010})},
    };
    for (const Arm &arm : arms) {
        p = ProgramArrays();
        p.ops = {P::ORIGIN, arm.op, P::COPY1};
        p.origins = {0x8000};
        p.rel32Ix = {0};
        p.rel32Rvas = {arm.target};
        p.copyBytes = "!";
        QTest::newRow(arm.name) << p << int(kPatchOk) << arm.bytes + "!";
    }
    p.rel32Ix = {};
    QTest::newRow("arm branch without index") << p << int(kAssemblyFailed) << QByteArray();
}

void TestEncodedProgram::assembles()
{
    QFETCH(ProgramArrays, arrays);
    QFETCH(int, status);
    QFETCH(QByteArray, output);

    QByteArray assembled;
    QCOMPARE(int(readAndAssemble(arrays, assembled)), status);
    if (status == kPatchOk)
        QCOMPARE(assembled, output);
}

void TestEncodedProgram::rejectsMalformedStreams_data()
{
    QTest::addColumn<ProgramArrays>("arrays");
    QTest::addColumn<QByteArray>("tamper");
    QTest::addColumn<int>("stream");

    ProgramArrays p;
    p.ops = {EncodedProgram::COPY1};
    p.copyBytes = "A";
    QTest::newRow("well formed") << p << QByteArray() << -1;
    ProgramArrays extra = p;
    extra.stream8 = "x";
    QTest::newRow("stream 8 not empty") << extra << QByteArray() << -1;
    // Appending to a stream leaves bytes after its last vector.
    for (int stream : {0, 1, 2, 3, 4, 5, 6, 7})
        QTest::newRow(qPrintable(QStringLiteral("bytes after stream %1").arg(stream)))
            << p << QByteArray("\x00", 1) << stream;
    QTest::newRow("count beyond the stream") << p << QByteArray::fromHex("05") << 9;
}

void TestEncodedProgram::rejectsMalformedStreams()
{
    QFETCH(ProgramArrays, arrays);
    QFETCH(QByteArray, tamper);
    QFETCH(int, stream);

    ByteSinkSet set;
    writeArrays(set, arrays);
    if (stream == 9) { // a copy_counts count that claims more values than there are bytes
        set.stream(7).Clear();
        set.stream(7).Write(tamper.constData(), size_t(tamper.size()));
    }
    if (stream >= 0 && stream < 9)
        set.stream(size_t(stream)).Write(tamper.constData(), size_t(tamper.size()));
    ByteSink serialized;
    QVERIFY(set.CopyTo(serialized));
    ByteSourceSet sources;
    QVERIFY(sources.Init(serialized.Data(), serialized.Length()));
    std::unique_ptr<EncodedProgram> program;
    const bool wellFormed = stream == -1 && arrays.stream8.isEmpty();
    QCOMPARE(ReadEncodedProgram(sources, program), wellFormed ? kPatchOk : kBadEncodedProgram);
    QCOMPARE(bool(program), wellFormed);
}

void TestEncodedProgram::trimsRarelyUsedArmLabels()
{
    // Five references keep a label out, six keep it in.
    const uint8_t branches[] = {0x06, 0xD0, 0x10, 0x00, 0x00, 0xEB};
    InstructionProgram program(ELF_32_ARM);
    QVERIFY(program.EmitOrigin(0x8000));
    Label *rare = nullptr;
    Label *common = nullptr;
    for (int i = 0; i < 5; ++i)
        rare = program.FindOrMakeRel32Label(0x8010);
    for (int i = 0; i < 6; ++i)
        common = program.FindOrMakeRel32Label(0x804A);
    QVERIFY(program.EmitRel32Arm(0x10D0, rare, branches, 2));
    QVERIFY(program.EmitOrigin(0x8002));
    QVERIFY(program.EmitRel32Arm(0x30EB, common, branches + 2, 4));
    program.DefaultAssignIndexes();

    LogCapture log;
    QVERIFY(program.TrimLabels());
    QCOMPARE(log.messages(), QStringList{"TrimLabels: threshold 5"});
    QCOMPARE(log.levels(), QList<int>{LOG_DEBUG});
    QCOMPARE(program.rel32_labels().size(), size_t(1));
    QCOMPARE(program.rel32_labels().begin()->first, 0x804Au);
    QCOMPARE(program.instructions()[1]->kind, MULTIPLEBYTES);

    std::unique_ptr<EncodedProgram> encoded = program.Encode();
    QVERIFY(encoded);
    // The kept label keeps its index 1: the hole at 0 takes the value before it (0).
    QCOMPARE(toVector(encoded->rel32_rvas()), (QVector<uint>{0, 0x804A}));
    QCOMPARE(toVector(encoded->rel32_ix()), (QVector<uint>{1}));
    ByteSink out;
    QCOMPARE(encoded->Assemble(out), kPatchOk);
    QCOMPARE(bytesOf(out), QByteArray(reinterpret_cast<const char *>(branches), sizeof branches));
}

void TestEncodedProgram::failsToTrimABranchWithoutBytes()
{
    InstructionProgram program(ELF_32_ARM);
    QVERIFY(program.EmitRel32Arm(0x10D0, program.FindOrMakeRel32Label(0x10), nullptr, 0));
    program.DefaultAssignIndexes();
    QVERIFY(!program.TrimLabels());
}

void TestEncodedProgram::leavesNonArmProgramsUntrimmed()
{
    InstructionProgram program(EXE_ELF_32_X86);
    QVERIFY(program.EmitRel32(program.FindOrMakeRel32Label(0x10)));
    LogCapture log;
    QVERIFY(program.TrimLabels());
    QCOMPARE(program.rel32_labels().size(), size_t(1));
    QVERIFY(log.messages().isEmpty());
}

void TestEncodedProgram::refusesReferencesWithoutLabel()
{
    const uint8_t branch[] = {0x06, 0xD0};
    InstructionProgram program(ELF_32_ARM);
    QVERIFY(!program.EmitRel32(nullptr));
    QVERIFY(!program.EmitAbs32(nullptr));
    QVERIFY(!program.EmitRel32Arm(0x10D0, nullptr, branch, 2));
    QVERIFY(program.instructions().empty());
}

// What a disassembler emits, the same on every run over the same image.
using Emitter = std::function<bool(InstructionProgram &)>;

bool emitMixedX86(InstructionProgram &program)
{
    static const uint8_t run[] = {7, 8, 9};
    bool ok = program.EmitOrigin(0x1000);
    for (uint32_t i = 0; ok && i < 3000; ++i) {
        ok = program.EmitByte(uint8_t(i)) && (i % 3 != 0 || program.EmitBytes(run, 1 + i % 3)) &&
             (i % 5 != 0 || program.EmitRel32(program.FindOrMakeRel32Label(0x1000 + (i * 37) % 4096))) &&
             (i % 7 != 0 || program.EmitAbs32(program.FindOrMakeAbs32Label(0x2000 + i % 64))) &&
             (i % 500 != 0 || program.EmitOrigin(0x1000 + i * 8));
    }
    return ok && program.EmitElfRelocs();
}

// Labels referenced 1 to 8 times: the rarely used ones are trimmed, their
// branches copied as bytes between the kept ones.
bool emitArmBranches(InstructionProgram &program)
{
    static const uint8_t branches[] = {0x06, 0xD0, 0x10, 0x00, 0x00, 0xEB};
    bool ok = program.EmitOrigin(0x8000) && program.EmitBytes(branches, 1);
    for (uint32_t target = 1; ok && target <= 8; ++target) {
        for (uint32_t use = 0; ok && use < target; ++use) {
            Label *label = program.FindOrMakeRel32Label(0x8000 + 0x10 * target);
            ok = use % 2 == 0 ? program.EmitRel32Arm(0x10D0, label, branches, 2)
                              : program.EmitRel32Arm(0x30EB, label, branches + 2, 4);
        }
    }
    return ok && program.EmitAbs32(program.FindOrMakeAbs32Label(0x9000)) && program.EmitElfArmRelocs();
}

void TestEncodedProgram::encodesDirectlyAsAStoredProgram_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<Emitter>("emitProgram");
    QTest::newRow("x86, several instruction blocks") << int(EXE_ELF_32_X86) << Emitter(emitMixedX86);
    QTest::newRow("ARM, trimmed labels") << int(ELF_32_ARM) << Emitter(emitArmBranches);
}

void TestEncodedProgram::encodesDirectlyAsAStoredProgram()
{
    QFETCH(int, kind);
    QFETCH(Emitter, emitProgram);
    InstructionProgram stored{ExecutableType(kind)};
    QVERIFY(emitProgram(stored));
    stored.DefaultAssignIndexes();
    QVERIFY(stored.TrimLabels());
    std::unique_ptr<EncodedProgram> expected = stored.Encode();
    QVERIFY(expected);

    InstructionProgram program(ExecutableType(kind), InstructionProgram::Mode::kLabelsOnly);
    QVERIFY(emitProgram(program));
    program.DefaultAssignIndexes();
    QVERIFY(program.TrimLabels());
    QVERIFY(program.instructions().empty());
    std::unique_ptr<EncodedProgram> direct = program.StartDirectEncoding();
    QVERIFY(direct);
    QVERIFY(emitProgram(program));
    program.DefaultAssignIndexes();

    ByteSinkSet expectedStreams;
    ByteSinkSet directStreams;
    QCOMPARE(expected->WriteTo(expectedStreams), kPatchOk);
    QCOMPARE(direct->WriteTo(directStreams), kPatchOk);
    for (size_t i = 0; i < ByteSinkSet::kMaxStreams; ++i)
        QCOMPARE(bytesOf(directStreams.stream(i)), bytesOf(expectedStreams.stream(i)));
    QVERIFY(!expected->rel32_ix().empty());
}

void TestEncodedProgram::failsADirectRunOnATrimmedBranchWithoutBytes()
{
    const Emitter emitProgram = [](InstructionProgram &program) {
        return program.EmitRel32Arm(0x10D0, program.FindOrMakeRel32Label(0x10), nullptr, 0);
    };
    InstructionProgram program(ELF_32_ARM, InstructionProgram::Mode::kLabelsOnly);
    QVERIFY(emitProgram(program));
    program.DefaultAssignIndexes();
    QVERIFY(program.TrimLabels());
    std::unique_ptr<EncodedProgram> direct = program.StartDirectEncoding();
    QVERIFY(direct);
    QVERIFY(!emitProgram(program));
    QVERIFY(program.trimFailed());
}

QTEST_APPLESS_MAIN(TestEncodedProgram)
#include "testencodedprogram.moc"
