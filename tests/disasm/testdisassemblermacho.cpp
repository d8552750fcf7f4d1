#include "disassembler_macho.h"
#include "instructionprogram.h"
#include "littleendian.h"
#include "programreferences.h"

#include <QDir>
#include <QFile>
#include <QtTest>
#include <memory>

using namespace vxpatch;
using namespace littleendian;
using programreferences::rel32;

namespace {

const uint32_t kCode = 0x80000400;  // S_REGULAR with S_ATTR_PURE_INSTRUCTIONS | S_ATTR_SOME_INSTRUCTIONS
const uint32_t kStubs = 0x80000408; // S_SYMBOL_STUBS: instructions, but no regular section
const uint64_t k4GiB = uint64_t(1) << 32;

struct MachoSection
{
    uint64_t address;
    uint64_t size;
    uint32_t offset;
    uint32_t flags;
};

struct MachoSegment
{
    uint64_t vmaddr;
    uint64_t vmsize;
    uint64_t fileoff;
    uint64_t filesize;
    QVector<MachoSection> sections;
    int commandSize = -1;    // -1: exactly what the sections need
    bool otherWidth = false; // write the command of the other word size (LC_SEGMENT in a 64-bit file...)
};

// Builds a thin Mach-O file: header, one segment command per segment, and a
// file body of `fileSize` bytes (filled with a pattern) with `code` placed at offsets.
struct MachoImage
{
    bool is64 = true;
    uint32_t cpuType = 0; // 0: x86 or x86-64 as the width says
    uint32_t fileType = 2;
    QVector<MachoSegment> segments;
    int fileSize = 0x3000;
    QVector<QPair<int, QByteArray>> code;

    QByteArray build() const
    {
        QByteArray image(fileSize, '\0');
        for (int i = 0; i < fileSize; ++i)
            image[i] = char(0x20 + i % 7);
        const int headerSize = is64 ? 32 : 28;
        image.replace(0, headerSize, QByteArray(headerSize, '\0'));
        put32(image, 0, is64 ? 0xFEEDFACF : 0xFEEDFACE);
        put32(image, 4, cpuType ? cpuType : (is64 ? 0x01000007 : 7));
        put32(image, 12, fileType);
        put32(image, 16, uint32_t(segments.size()));

        int offset = headerSize;
        for (const MachoSegment &segment : segments) {
            const bool wide = is64 != segment.otherWidth;
            const int head = wide ? 72 : 56;
            const int sectionSize = wide ? 80 : 68;
            const int size =
                segment.commandSize >= 0 ? segment.commandSize : head + sectionSize * segment.sections.size();
            // Only cmdsize says how long the command is; its sections are written all the same.
            QByteArray command(head + sectionSize * segment.sections.size(), '\0');
            put32(command, 0, wide ? 25 : 1);
            put32(command, 4, uint32_t(size));
            if (wide) {
                put64(command, 24, segment.vmaddr);
                put64(command, 32, segment.vmsize);
                put64(command, 40, segment.fileoff);
                put64(command, 48, segment.filesize);
                put32(command, 64, uint32_t(segment.sections.size()));
            } else {
                put32(command, 24, uint32_t(segment.vmaddr));
                put32(command, 28, uint32_t(segment.vmsize));
                put32(command, 32, uint32_t(segment.fileoff));
                put32(command, 36, uint32_t(segment.filesize));
                put32(command, 48, uint32_t(segment.sections.size()));
            }
            for (int i = 0; i < segment.sections.size(); ++i) {
                const MachoSection &section = segment.sections[i];
                const int s = head + sectionSize * i;
                if (wide) {
                    put64(command, s + 32, section.address);
                    put64(command, s + 40, section.size);
                    put32(command, s + 48, section.offset);
                    put32(command, s + 64, section.flags);
                } else {
                    put32(command, s + 32, uint32_t(section.address));
                    put32(command, s + 36, uint32_t(section.size));
                    put32(command, s + 40, section.offset);
                    put32(command, s + 56, section.flags);
                }
            }
            image.replace(offset, command.size(), command);
            offset += size;
        }
        for (const auto &placed : code)
            image.replace(placed.first, placed.second.size(), placed.second);
        return image;
    }
};

// __TEXT (with __text at file offset 0x1000) and __DATA, both above 4 GiB in 64-bit
// images; __PAGEZERO has no sections and takes no part in the rebase.
MachoImage basicImage(bool is64)
{
    MachoImage macho;
    macho.is64 = is64;
    const uint64_t base = is64 ? 0x100000000ull : 0x1000;
    if (is64)
        macho.segments.append({0, base, 0, 0, {}});
    macho.segments.append({base, 0x2000, 0, 0x2000, {{base + 0x1000, 0x100, 0x1000, kCode}}});
    macho.segments.append({base + 0x2000, 0x1000, 0x2000, 0x1000, {{base + 0x2000, 0x100, 0x2000, 0}}});
    return macho;
}

QString reasonText(const Disassembler &disassembler)
{
    return disassembler.failureReason() ? QString::fromLatin1(disassembler.failureReason()) : QString();
}

QString corpusDir()
{
    const QByteArray fromEnvironment = qgetenv("VX_CORPUS_DIR");
    return fromEnvironment.isEmpty() ? QStringLiteral(VX_CORPUS_DIR)
                                     : QString::fromLocal8Bit(fromEnvironment);
}

} // namespace

class TestDisassemblerMacho : public QObject
{
    Q_OBJECT

private slots:
    void checksHeaderInOrder_data();
    void checksHeaderInOrder();
    void rebasesSegmentsAbove4GiB();
    void findsRel32CandidatesPerWidth_data();
    void findsRel32CandidatesPerWidth();
    void emitsBytesAroundCodeSections();
    void failsOnCodeSectionPastTheImage();
    void reassemblesRealExecutables_data();
    void reassemblesRealExecutables();
};

void TestDisassemblerMacho::checksHeaderInOrder_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("reason");

    const MachoImage x64 = basicImage(true);
    const MachoImage x86 = basicImage(false);
    QTest::newRow("x86-64 executable") << x64.build() << QString();
    QTest::newRow("x86 executable") << x86.build() << QString();
    MachoImage bundle = x64;
    bundle.fileType = 8;
    QTest::newRow("bundle") << bundle.build() << QString();

    QTest::newRow("31 bytes") << x64.build().left(31) << "Too small";
    QByteArray fat = x64.build();
    put32(fat, 0, 0xBEBAFECA);
    QTest::newRow("universal file") << fat << "Unknown magic type";
    QByteArray bigEndian = x64.build();
    put32(bigEndian, 0, 0xCFFAEDFE);
    QTest::newRow("byte-swapped magic") << bigEndian << "Unknown magic type";

    MachoImage wrongCpu = x86;
    wrongCpu.cpuType = 12;
    QTest::newRow("ARM") << wrongCpu.build() << "unsupported cpu type";
    wrongCpu = x64;
    wrongCpu.cpuType = 7;
    QTest::newRow("64-bit magic, x86 cpu") << wrongCpu.build() << "unsupported cpu type";

    MachoImage object = x64;
    object.fileType = 1;
    QTest::newRow("object file") << object.build() << "Unsupported filetype in header";

    QByteArray missingCommands = x64.build();
    put32(missingCommands, 16, 40);
    QTest::newRow("more commands than fit") << missingCommands << "file to small in load commands";
    MachoImage longCommand = x64;
    longCommand.segments[2].commandSize = 0x4000;
    QTest::newRow("command beyond the file") << longCommand.build() << "file to small in load commands";
    QByteArray stuckCommand = x64.build();
    put32(stuckCommand, 32 + 4, 0);
    QTest::newRow("command size 0") << stuckCommand << "bad load command size";

    MachoImage mixed = x86;
    mixed.segments[1].otherWidth = true;
    QTest::newRow("LC_SEGMENT_64 in x86") << mixed.build() << "LC_SEGMENT_64 not supported";
    mixed = x64;
    mixed.segments[2].otherWidth = true;
    QTest::newRow("LC_SEGMENT in x86-64") << mixed.build() << "LC_SEGMENT not supported";
    MachoImage shortCommand = x64;
    shortCommand.segments[0].commandSize = 64;
    QTest::newRow("LC_SEGMENT_64 of 64 bytes") << shortCommand.build() << "bad LC_SEGMENT_64";
    shortCommand = x86;
    shortCommand.segments[0].commandSize = 48;
    QTest::newRow("LC_SEGMENT of 48 bytes") << shortCommand.build() << "bad LC_SEGMENT";
    shortCommand = x64;
    shortCommand.segments[1].commandSize = 72 + 40;
    QTest::newRow("LC_SEGMENT_64 cut inside its section") << shortCommand.build() << "sections too small";
    shortCommand = x86;
    shortCommand.segments[0].commandSize = 56 + 67;
    QTest::newRow("LC_SEGMENT cut inside its section") << shortCommand.build() << "sections too small";

    MachoImage overflow = x64;
    overflow.segments[1].vmsize = k4GiB;
    QTest::newRow("vmsize of 4 GiB") << overflow.build() << "overflow";
    overflow = x64;
    overflow.segments[2].filesize = k4GiB + 0x1000;
    QTest::newRow("filesize above 4 GiB") << overflow.build() << "overflow";
    overflow = x64;
    overflow.segments[1].sections[0].size = k4GiB;
    QTest::newRow("code section of 4 GiB") << overflow.build() << "overflow";
    overflow = x64;
    overflow.segments[2].vmaddr = 0x200000000ull;
    QTest::newRow("segments 4 GiB apart") << overflow.build() << "overflow";

    MachoImage large = x64;
    large.segments[2].filesize = 0x1001;
    QTest::newRow("segment beyond the file") << large.build() << "segment too large";
    large = x86;
    large.segments[1].fileoff = 0x2800;
    QTest::newRow("32-bit segment beyond the file") << large.build() << "segment too large";

    MachoImage outside = x64;
    outside.segments[1].sections[0].size = 0x1001;
    QTest::newRow("code section past its segment") << outside.build() << "section larger than segment";
    outside = x86;
    outside.segments[0].sections[0].address = 0xFFF;
    QTest::newRow("code section below its segment") << outside.build() << "section larger than segment";
    outside = x64;
    outside.segments[2].sections[0].size = 0x2000;
    QTest::newRow("data section past its segment") << outside.build() << QString();

    MachoImage noCode = x64;
    noCode.segments[1].sections[0].flags = kStubs;
    QTest::newRow("only stubs") << noCode.build() << "Resource-only executables are not yet supported";
}

void TestDisassemblerMacho::checksHeaderInOrder()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, reason);

    DisassemblerMacho disassembler(image.constData(), size_t(image.size()));
    QCOMPARE(disassembler.ReadHeader(), reason.isNull());
    QCOMPARE(reasonText(disassembler), reason);
}

void TestDisassemblerMacho::rebasesSegmentsAbove4GiB()
{
    MachoImage macho = basicImage(true);
    macho.fileSize = 0x3100; // bytes beyond the last segment are not part of the image
    // Calls into __text and into __DATA count; a call to 0x3000, past every segment, does not.
    macho.code = {{0x1000, "\xE8" + le32(0x1080 - 0x1005)},
                  {0x1005, "\xE8" + le32(0x2010 - 0x100A)},
                  {0x100A, "\xE8" + le32(0x3000 - 0x100F)}};
    const QByteArray image = macho.build();

    DisassemblerMacho disassembler(image.constData(), size_t(image.size()));
    QVERIFY(disassembler.ReadHeader());
    QCOMPARE(disassembler.type(), MACHO_X64);
    QCOMPARE(disassembler.length(), size_t(0x3000));
    InstructionProgram program(disassembler.type());
    QVERIFY(disassembler.Disassemble(&program));

    QCOMPARE(program.image_base(), uint64_t(0));
    QVector<uint32_t> origins;
    for (const Instruction *instruction : program.instructions()) {
        if (instruction->kind == ORIGIN)
            origins.append(instruction->value);
    }
    QCOMPARE(origins, QVector<uint32_t>{0x1000}); // __text at 0x100001000
    QCOMPARE(programreferences::references(program),
             QStringList({rel32(0x1001, 0x1080), rel32(0x1006, 0x2010)}));
    QCOMPARE(programreferences::reassemble(program), image.left(0x3000));
}

void TestDisassemblerMacho::findsRel32CandidatesPerWidth_data()
{
    QTest::addColumn<QByteArray>("opcode");
    QTest::addColumn<uint32_t>("target");
    QTest::addColumn<bool>("x86Finds");
    QTest::addColumn<bool>("x64Finds");

    // Rebased: __TEXT 0..0x2000 with __text at 0x1000..0x1100, __DATA 0x2000..0x3000.
    QTest::newRow("call into __text") << QByteArray("\xE8") << 0x1080u << true << true;
    QTest::newRow("jmp into __DATA") << QByteArray("\xE9") << 0x2FFCu << true << true;
    QTest::newRow("call past the segments") << QByteArray("\xE8") << 0x3000u << false << false;
    QTest::newRow("je into __TEXT") << QByteArray("\x0F\x84") << 0x0800u << true << true;
    QTest::newRow("jp into __text") << QByteArray("\x0F\x8A") << 0x1080u << false << false;
    QTest::newRow("call [rip] into __DATA") << QByteArray("\xFF\x15") << 0x2010u << false << true;
    QTest::newRow("jmp [rip] past the segments") << QByteArray("\xFF\x25") << 0x3010u << false << false;
    QTest::newRow("lea rdi, [rip] into __TEXT") << QByteArray("\x48\x8D\x3D") << 0x0104u << false << true;
    QTest::newRow("mov r8, [rip] into __DATA") << QByteArray("\x49\x8B\x05") << 0x2004u << false << true;
    QTest::newRow("lea rax, [rax + rcx]") << QByteArray("\x48\x8D\x04") << 0x2010u << false << false;
}

void TestDisassemblerMacho::findsRel32CandidatesPerWidth()
{
    QFETCH(QByteArray, opcode);
    QFETCH(uint32_t, target);
    QFETCH(bool, x86Finds);
    QFETCH(bool, x64Finds);

    for (bool is64 : {false, true}) {
        MachoImage macho = basicImage(is64);
        const uint32_t field = 0x1010 + uint32_t(opcode.size());
        macho.code = {{0x1000, QByteArray(0x100, '\0')}, {0x1010, opcode + le32(target - (field + 4))}};
        const QByteArray image = macho.build();

        DisassemblerMacho disassembler(image.constData(), size_t(image.size()));
        QVERIFY(disassembler.ReadHeader());
        QCOMPARE(disassembler.type(), is64 ? MACHO_X64 : MACHO_X86);
        InstructionProgram program(disassembler.type());
        QVERIFY(disassembler.Disassemble(&program));
        const bool finds = is64 ? x64Finds : x86Finds;
        QCOMPARE(programreferences::references(program),
                 finds ? QStringList{rel32(field, target)} : QStringList());
        QCOMPARE(programreferences::reassemble(program), image);
    }
}

void TestDisassemblerMacho::emitsBytesAroundCodeSections()
{
    // Code sections listed against file order, one of them empty (which must not stall the
    // walk); the bytes before, between and after them, up to the segments' end, are single bytes.
    MachoImage macho;
    macho.segments.append(
        {0x1000,
         0x2000,
         0,
         0x2000,
         {{0x2800, 0x100, 0x1800, kCode}, {0x1400, 0, 0x400, kCode}, {0x1800, 0x80, 0x800, kCode}}});
    macho.fileSize = 0x2000;
    macho.code = {{0x800, "\xE8" + le32(0x1800 - 0x805)}, {0x1800, "\xE8" + le32(0x800 - 0x1805)}};
    const QByteArray image = macho.build();

    DisassemblerMacho disassembler(image.constData(), size_t(image.size()));
    QVERIFY(disassembler.ReadHeader());
    InstructionProgram program(disassembler.type());
    QVERIFY(disassembler.Disassemble(&program));

    QVector<uint32_t> origins;
    int bytes = 0;
    for (const Instruction *instruction : program.instructions()) {
        if (instruction->kind == ORIGIN)
            origins.append(instruction->value);
        if (instruction->kind == BYTE || instruction->kind == MULTIPLEBYTES)
            bytes += instruction->kind == BYTE ? 1 : int(instruction->length);
    }
    // Rebased to the segment: file offset 0x400 is address 0x400, and so on.
    QCOMPARE(origins, QVector<uint32_t>({0x400, 0x800, 0x1800}));
    QCOMPARE(bytes, 0x2000 - 2 * 4);
    QCOMPARE(programreferences::references(program),
             QStringList({rel32(0x801, 0x1800), rel32(0x1801, 0x800)}));
    QCOMPARE(programreferences::reassemble(program), image);
}

void TestDisassemblerMacho::failsOnCodeSectionPastTheImage()
{
    // The section lies inside its segment's addresses, but its file offset points past the file.
    MachoImage macho = basicImage(true);
    macho.segments[1].sections[0].offset = 0x2F80;
    const QByteArray image = macho.build();

    DisassemblerMacho disassembler(image.constData(), size_t(image.size()));
    QVERIFY(disassembler.ReadHeader());
    InstructionProgram program(disassembler.type());
    QVERIFY(!disassembler.Disassemble(&program));
    QCOMPARE(reasonText(disassembler), QStringLiteral("code section outside image"));
}

void TestDisassemblerMacho::reassemblesRealExecutables_data()
{
    QTest::addColumn<QString>("path");

    const QDir corpus(corpusDir());
    QFile list(corpus.filePath(QStringLiteral("corpus.tsv")));
    if (!list.open(QIODevice::ReadOnly))
        QSKIP("no executable corpus (set VX_CORPUS_DIR)");
    while (!list.atEnd()) {
        const QList<QByteArray> fields = list.readLine().trimmed().split('\t');
        if (fields.size() >= 7 && fields[1].startsWith("MachO"))
            QTest::newRow(fields[6].constData()) << corpus.filePath(QString::fromUtf8(fields[6]));
    }
}

void TestDisassemblerMacho::reassemblesRealExecutables()
{
    QFETCH(QString, path);

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        QSKIP("corpus file missing");
    const QByteArray image = file.readAll();

    DisassemblerMacho disassembler(image.constData(), size_t(image.size()));
    QVERIFY2(disassembler.ReadHeader(), disassembler.failureReason());
    QCOMPARE(disassembler.type(), MACHO_X64);
    InstructionProgram program(disassembler.type());
    QVERIFY2(disassembler.Disassemble(&program), disassembler.failureReason());
    QVERIFY(programreferences::countKind(program, REL32) > 1000);
    QVERIFY(programreferences::reassemble(program) == image.left(int(disassembler.length())));
}

QTEST_GUILESS_MAIN(TestDisassemblerMacho)
#include "testdisassemblermacho.moc"
