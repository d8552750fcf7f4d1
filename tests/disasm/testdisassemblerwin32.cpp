#include "../patcher/logcapture.h"
#include "disassembler_win32x64.h"
#include "disassembler_win32x86.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "instructionprogram.h"
#include "littleendian.h"
#include "programreferences.h"

#include <QDir>
#include <QFile>
#include <QtTest>
#include <algorithm>
#include <memory>

using namespace vxpatch;
using programreferences::abs32;
using programreferences::rel32;
using namespace littleendian;

namespace {

QByteArray le64(uint64_t value)
{
    QByteArray bytes(8, 0);
    put64(bytes, 0, value);
    return bytes;
}

// One base relocation block: page, block size, then the 16-bit entries as given (padding included).
QByteArray relocBlock(uint32_t page, std::initializer_list<uint16_t> entries, int blockSize = -1)
{
    QByteArray block =
        le32(page) + le32(blockSize >= 0 ? uint32_t(blockSize) : uint32_t(8 + 2 * entries.size()));
    for (uint16_t entry : entries) {
        block += char(entry);
        block += char(entry >> 8);
    }
    return block;
}

const int kPeOffset = 0x80;
const int kOptionalHeaderOffset = kPeOffset + 24;

struct PeSection
{
    QByteArray name;
    uint32_t virtualAddress;
    uint32_t rawOffset;
    QByteArray raw;
    uint32_t virtualSize; // 0: the raw size
};

// Builds a minimal PE32 or PE32+ file: DOS stub header, PE header, optional
// header with 16 data directories, section table and the sections' raw data.
struct PeImage
{
    bool pe32Plus = false;
    uint64_t imageBase = 0x400000;
    uint32_t sizeOfImage = 0x10000;
    int sizeOfOptionalHeader = -1; // -1: the standard size
    uint32_t numberOfRvaAndSizes = 16;
    uint32_t relocRva = 0;
    uint32_t relocSize = 0;
    QVector<PeSection> sections;
    int overlay = 0; // bytes after the last section's raw data

    QByteArray build() const
    {
        const int optionalSize = sizeOfOptionalHeader >= 0 ? sizeOfOptionalHeader : (pe32Plus ? 240 : 224);
        const int sectionTable = kOptionalHeaderOffset + optionalSize;
        int rawEnd = sectionTable + 40 * sections.size();
        for (const PeSection &section : sections)
            rawEnd = std::max(rawEnd, int(section.rawOffset) + section.raw.size());

        QByteArray image(rawEnd, '\0');
        image[0] = 'M';
        image[1] = 'Z';
        put32(image, 60, kPeOffset);
        image.replace(kPeOffset, 4, QByteArray("PE\0\0", 4));
        put16(image, kPeOffset + 4, pe32Plus ? 0x8664 : 0x14C);
        put16(image, kPeOffset + 6, uint16_t(sections.size()));
        put16(image, kPeOffset + 20, uint16_t(optionalSize));

        const int o = kOptionalHeaderOffset;
        put16(image, o, pe32Plus ? 0x20B : 0x10B);
        if (pe32Plus)
            put64(image, o + 24, imageBase);
        else
            put32(image, o + 28, uint32_t(imageBase));
        put32(image, o + 56, sizeOfImage);
        put32(image, o + (pe32Plus ? 108 : 92), numberOfRvaAndSizes);
        const int relocEntry = (pe32Plus ? 112 : 96) + 8 * 5;
        if (relocEntry + 8 <= optionalSize) {
            put32(image, o + relocEntry, relocRva);
            put32(image, o + relocEntry + 4, relocSize);
        }

        for (int i = 0; i < sections.size(); ++i) {
            const PeSection &section = sections[i];
            const int header = sectionTable + 40 * i;
            image.replace(header, section.name.size(), section.name);
            put32(image, header + 8,
                  section.virtualSize ? section.virtualSize : uint32_t(section.raw.size()));
            put32(image, header + 12, section.virtualAddress);
            put32(image, header + 16, uint32_t(section.raw.size()));
            put32(image, header + 20, section.rawOffset);
            image.replace(int(section.rawOffset), section.raw.size(), section.raw);
        }
        return image + QByteArray(overlay, char(0xAB));
    }
};

// A .text section of no-ops and nothing else.
PeImage basicImage(bool pe32Plus)
{
    PeImage pe;
    pe.pe32Plus = pe32Plus;
    pe.sections.append({".text", 0x1000, 0x400, QByteArray(0x200, char(0x90)), 0});
    return pe;
}

std::unique_ptr<DisassemblerWin32> makeDisassembler(bool x64, const QByteArray &image)
{
    if (x64)
        return std::make_unique<DisassemblerWin32X64>(image.constData(), size_t(image.size()));
    return std::make_unique<DisassemblerWin32X86>(image.constData(), size_t(image.size()));
}

QString reasonText(const Disassembler &disassembler)
{
    return disassembler.failureReason() ? QString::fromLatin1(disassembler.failureReason()) : QString();
}

QByteArray with16(QByteArray image, int offset, uint16_t value)
{
    put16(image, offset, value);
    return image;
}

QByteArray with32(QByteArray image, int offset, uint32_t value)
{
    put32(image, offset, value);
    return image;
}

QString corpusDir()
{
    const QByteArray fromEnvironment = qgetenv("VX_CORPUS_DIR");
    return fromEnvironment.isEmpty() ? QStringLiteral(VX_CORPUS_DIR)
                                     : QString::fromLocal8Bit(fromEnvironment);
}

} // namespace

class TestDisassemblerWin32 : public QObject
{
    Q_OBJECT

private slots:
    void checksHeaderInOrder_data();
    void checksHeaderInOrder();
    void detectionPicksTheFlavour_data();
    void detectionPicksTheFlavour();
    void dropsBytesBeyondTheLastSection();
    void failsOnSectionPastTheEndOfFile();
    void replacesRelocationTableAndReassemblesExactly_data();
    void replacesRelocationTableAndReassemblesExactly();
    void walksRelocationBlocks_data();
    void walksRelocationBlocks();
    void rejectsMalformedRelocations_data();
    void rejectsMalformedRelocations();
    void skipsCallOverlappingAbs32Location();
    void findsRel32CandidatesPerFlavour_data();
    void findsRel32CandidatesPerFlavour();
    void emitsBytesBetweenSectionsInFileOrder();
    void reassemblesRealExecutables_data();
    void reassemblesRealExecutables();
};

void TestDisassemblerWin32::checksHeaderInOrder_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("x64");
    QTest::addColumn<QString>("reason");

    const QByteArray pe32 = basicImage(false).build();
    const QByteArray pe32Plus = basicImage(true).build();
    const int sizeField = kPeOffset + 20;
    const int magicField = kOptionalHeaderOffset;

    QTest::newRow("PE32 accepted by x86") << pe32 << false << QString();
    QTest::newRow("PE32+ accepted by x64") << pe32Plus << true << QString();
    QTest::newRow("63 bytes") << QByteArray(63, 'M') << false << "Too small";
    QTest::newRow("not MZ") << with16(pe32, 0, 0x5A4E) << false << "Not MZ";
    QTest::newRow("e_lfanew 0") << with32(pe32, 60, 0) << false << "Bad offset to PE header";
    QTest::newRow("e_lfanew at end") << with32(pe32, 60, uint32_t(pe32.size())) << false
                                     << "Bad offset to PE header";
    QTest::newRow("PE header cut at 24 bytes")
        << pe32.left(kPeOffset + 24) << false << "Bad offset to PE header";
    QTest::newRow("e_lfanew 0x44") << with32(pe32, 60, 0x44) << false << "Misaligned PE header";
    QTest::newRow("no PE signature") << with16(pe32, kPeOffset + 2, 1) << false << "no PE signature";
    QTest::newRow("optional header ends at end of file")
        << pe32.left(kOptionalHeaderOffset + 224) << false << "optional header past end of file";
    QTest::newRow("optional header size 0xFFFF")
        << with16(pe32, sizeField, 0xFFFF) << false << "optional header past end of file";
    QTest::newRow("optional header size 1")
        << with16(pe32, sizeField, 1) << false << "optional header no magic";
    QTest::newRow("magic 0x107") << with16(pe32, magicField, 0x107) << false << "unrecognized magic";
    QTest::newRow("PE32 optional header of 95")
        << with16(pe32, sizeField, 95) << false << "optional header too short";
    QTest::newRow("PE32+ optional header of 111")
        << with16(pe32Plus, sizeField, 111) << true << "optional header too short";

    PeImage hugeRelocs = basicImage(false);
    hugeRelocs.relocSize = hugeRelocs.sizeOfImage + 1;
    QTest::newRow("relocation directory larger than the image")
        << hugeRelocs.build() << false << "malformed data directory";
    // 136 bytes hold data directories 0 to 4; directory 5 starts at the header's end.
    PeImage shortDirectories = basicImage(false);
    shortDirectories.sizeOfOptionalHeader = 136;
    QTest::newRow("directory 5 beyond the optional header")
        << shortDirectories.build() << false << "malformed data directory";
    shortDirectories.numberOfRvaAndSizes = 5;
    QTest::newRow("directory 5 not counted") << shortDirectories.build() << false << QString();

    QTest::newRow("PE32+ in x86") << pe32Plus << false
                                  << "64 bit executables are not supported by this disassembler";
    QTest::newRow("PE32 in x64") << pe32 << true
                                 << "32 bit executables are not supported by this disassembler";

    PeImage noText = basicImage(true);
    noText.sections[0].name = ".rsrc";
    QTest::newRow("no .text") << noText.build() << true << "Resource-only executables are not yet supported";
    QTest::newRow("magic checked before .text")
        << noText.build() << false << "64 bit executables are not supported by this disassembler";
    noText.sections[0].name = ".textbss";
    QTest::newRow(".textbss is no .text")
        << noText.build() << true << "Resource-only executables are not yet supported";

    PeImage manySections = basicImage(false);
    QByteArray tooMany = manySections.build();
    put16(tooMany, kPeOffset + 6, 1000);
    QTest::newRow("section table past end") << tooMany << false << "section table past end of file";
}

void TestDisassemblerWin32::checksHeaderInOrder()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, x64);
    QFETCH(QString, reason);

    std::unique_ptr<DisassemblerWin32> disassembler = makeDisassembler(x64, image);
    QCOMPARE(disassembler->ReadHeader(), reason.isNull());
    QCOMPARE(reasonText(*disassembler), reason);
    QCOMPARE(disassembler->type(), x64 ? WIN_32_X64 : WIN_32_X86);
}

void TestDisassemblerWin32::detectionPicksTheFlavour_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("type");

    QTest::newRow("PE32") << basicImage(false).build() << int(kPatchOk) << int(WIN_32_X86);
    QTest::newRow("PE32+") << basicImage(true).build() << int(kPatchOk) << int(WIN_32_X64);
    PeImage resources = basicImage(true);
    resources.sections[0].name = ".rsrc";
    QTest::newRow("resources only") << resources.build() << int(kNoDisassembler) << int(UNKNOWN);
}

void TestDisassemblerWin32::detectionPicksTheFlavour()
{
    QFETCH(QByteArray, image);
    QFETCH(int, status);
    QFETCH(int, type);

    std::unique_ptr<InstructionProgram> program;
    QCOMPARE(int(DisassembleElement(image.constData(), size_t(image.size()), program)), status);
    QCOMPARE(program ? int(program->kind()) : int(UNKNOWN), type);
}

void TestDisassemblerWin32::dropsBytesBeyondTheLastSection()
{
    PeImage pe = basicImage(false);
    pe.overlay = 0x40;
    const QByteArray image = pe.build();

    DisassemblerWin32X86 disassembler(image.constData(), size_t(image.size()));
    QVERIFY(disassembler.ReadHeader());
    QCOMPARE(disassembler.length(), size_t(0x600));

    InstructionProgram program(WIN_32_X86);
    QVERIFY(disassembler.Disassemble(&program));
    QCOMPARE(programreferences::reassemble(program), image.left(0x600));
}

void TestDisassemblerWin32::failsOnSectionPastTheEndOfFile()
{
    // The header is intact, but .text's raw data (0x400..0x600) is cut short.
    const QByteArray image = basicImage(false).build().left(0x500);

    DisassemblerWin32X86 disassembler(image.constData(), size_t(image.size()));
    QVERIFY(disassembler.ReadHeader());
    InstructionProgram program(WIN_32_X86);
    QVERIFY(!disassembler.Disassemble(&program));
    QCOMPARE(reasonText(disassembler), QStringLiteral("section outside image"));
}

void TestDisassemblerWin32::replacesRelocationTableAndReassemblesExactly_data()
{
    QTest::addColumn<bool>("x64");
    QTest::newRow("PE32, HIGHLOW entries") << false;
    QTest::newRow("PE32+, DIR64 entries") << true;
}

void TestDisassemblerWin32::replacesRelocationTableAndReassemblesExactly()
{
    QFETCH(bool, x64);

    PeImage pe;
    pe.pe32Plus = x64;
    pe.imageBase = x64 ? 0x180000000ull : 0x400000;
    const uint16_t type = x64 ? 0xA000 : 0x3000;

    // .text: a call into .text, an absolute pointer to .data, an indirect call through a .data slot.
    QByteArray text(0x40, char(0x90));
    text.replace(0, 5, "\xE8" + le32(0x1030 - 0x1005));
    const QByteArray pointer = x64 ? le64(pe.imageBase + 0x2000) : le32(uint32_t(pe.imageBase) + 0x2000);
    text.replace(0x10, pointer.size(), pointer);
    text.replace(0x20, 6, "\xFF\x15" + le32(0x2008 - 0x1026));
    // .data: an absolute pointer back into .text.
    QByteArray data(0x20, '\0');
    const QByteArray codePointer = x64 ? le64(pe.imageBase + 0x1000) : le32(uint32_t(pe.imageBase) + 0x1000);
    data.replace(4, codePointer.size(), codePointer);
    // In canonical form (one block per page, padded to 4 bytes), as assembly regenerates it.
    const QByteArray table =
        relocBlock(0x1000, {uint16_t(type | 0x010), 0}) + relocBlock(0x2000, {uint16_t(type | 0x004), 0});
    QByteArray relocSection(0x200, '\0');
    relocSection.replace(0, table.size(), table);

    pe.sections = {{".text", 0x1000, 0x400, text, 0},
                   {".data", 0x2000, 0x600, data, 0},
                   {".reloc", 0x3000, 0x800, relocSection, 0}};
    pe.relocRva = 0x3000;
    pe.relocSize = uint32_t(table.size());
    const QByteArray image = pe.build();

    std::unique_ptr<DisassemblerWin32> disassembler = makeDisassembler(x64, image);
    QVERIFY(disassembler->ReadHeader());
    InstructionProgram program(disassembler->type());
    QVERIFY2(disassembler->Disassemble(&program), disassembler->failureReason());

    QStringList expected = {rel32(0x1001, 0x1030), abs32(0x1010, 0x2000)};
    if (x64)
        expected << rel32(0x1022, 0x2008); // RIP-relative data counts only in PE32+
    expected << abs32(0x2004, 0x1000);
    QCOMPARE(programreferences::references(program), expected);
    QCOMPARE(program.image_base(), pe.imageBase);
    QCOMPARE(programreferences::countKind(program, MAKE_PE_RELOCATION_TABLE), 1);

    std::unique_ptr<EncodedProgram> encoded = program.Encode();
    QVERIFY(encoded);
    const uint32_t relocOp =
        x64 ? EncodedProgram::MAKE_PE64_RELOCATION_TABLE : EncodedProgram::MAKE_PE_RELOCATION_TABLE;
    QCOMPARE(std::count(encoded->ops().begin(), encoded->ops().end(), relocOp), 1L);
    // The table's bytes are not carried: assembly writes them from the abs32 locations.
    QCOMPARE(encoded->copy_size(), size_t(image.size() - table.size() - 4 * expected.size()));
    QCOMPARE(programreferences::reassemble(program), image);
}

void TestDisassemblerWin32::walksRelocationBlocks_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QVector<uint32_t>>("locations");

    const QByteArray block = relocBlock(0x1000, {0x3010, 0});
    QTest::newRow("one block") << block << QVector<uint32_t>{0x1010};
    QTest::newRow("8-byte tail not walked") << block + QByteArray(8, '\0') << QVector<uint32_t>{0x1010};
    QTest::newRow("table of 8 bytes") << relocBlock(0x1000, {}) << QVector<uint32_t>();
    QTest::newRow("empty block, then a block")
        << relocBlock(0x1000, {}) + relocBlock(0x1000, {0x3020, 0x3010}) << QVector<uint32_t>{0x1010, 0x1020};
    QTest::newRow("padding entries skipped")
        << relocBlock(0x1000, {0, 0x3040, 0, 0x3010}) << QVector<uint32_t>{0x1010, 0x1040};
}

void TestDisassemblerWin32::walksRelocationBlocks()
{
    QFETCH(QByteArray, table);
    QFETCH(QVector<uint32_t>, locations);

    PeImage pe = basicImage(false);
    QByteArray relocSection(0x200, '\0');
    relocSection.replace(0, table.size(), table);
    pe.sections.append({".reloc", 0x3000, 0x600, relocSection, 0});
    pe.relocRva = 0x3000;
    pe.relocSize = uint32_t(table.size());
    const QByteArray image = pe.build();

    DisassemblerWin32X86 disassembler(image.constData(), size_t(image.size()));
    QVERIFY(disassembler.ReadHeader());
    InstructionProgram program(WIN_32_X86);
    QVERIFY2(disassembler.Disassemble(&program), disassembler.failureReason());
    QStringList expected;
    for (uint32_t location : locations)
        expected << abs32(location, 0x90909090u - 0x400000u); // .text holds no-ops
    QCOMPARE(programreferences::references(program), expected);
}

void TestDisassemblerWin32::rejectsMalformedRelocations_data()
{
    QTest::addColumn<bool>("x64");
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<uint32_t>("rva");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QStringList>("log");

    QTest::newRow("block size 6") << false << relocBlock(0x1000, {0x3010, 0}, 6) << 0x3000u
                                  << "unreasonable relocs block" << QStringList();
    QTest::newRow("block size 14") << false << relocBlock(0x1000, {0x3010, 0, 0}, 14) << 0x3000u
                                   << "unreasonable relocs block" << QStringList();
    QTest::newRow("second block of size 0")
        << false << relocBlock(0x1000, {0x3010, 0}) + relocBlock(0x2000, {0x3010, 0}, 0) << 0x3000u
        << "unreasonable relocs block" << QStringList();
    QTest::newRow("DIR64 entry in PE32")
        << false << relocBlock(0x1000, {0xA010, 0}) << 0x3000u << "unknown type of reloc" << QStringList();
    QTest::newRow("HIGHLOW entry in PE32+")
        << true << relocBlock(0x1000, {0x3010, 0}) << 0x3000u << "unknown type of reloc" << QStringList();
    QTest::newRow("block beyond the image") << false << relocBlock(0x1000, {0x3010, 0}, 0x10000) << 0x3000u
                                            << ".relocs block outside image" << QStringList();
    QTest::newRow("table in no section") << false << relocBlock(0x1000, {0x3010, 0}) << 0x8000u
                                         << ".relocs outside image" << QStringList{"REACHED UNREACHABLE"};
    QTest::newRow("table past the raw data")
        << false << relocBlock(0x1000, {0x3010, 0}) << 0x31F8u << ".relocs outside image" << QStringList();
}

void TestDisassemblerWin32::rejectsMalformedRelocations()
{
    QFETCH(bool, x64);
    QFETCH(QByteArray, table);
    QFETCH(uint32_t, rva);
    QFETCH(QString, reason);
    QFETCH(QStringList, log);

    PeImage pe = basicImage(x64);
    QByteArray relocSection(0x200, '\0');
    relocSection.replace(0, table.size(), table);
    pe.sections.append({".reloc", 0x3000, 0x600, relocSection, 0});
    pe.relocRva = rva;
    pe.relocSize = uint32_t(table.size());
    const QByteArray image = pe.build();

    std::unique_ptr<DisassemblerWin32> disassembler = makeDisassembler(x64, image);
    QVERIFY(disassembler->ReadHeader());
    InstructionProgram program(disassembler->type());
    LogCapture capture;
    QVERIFY(!disassembler->Disassemble(&program));
    QCOMPARE(reasonText(*disassembler), reason);
    QCOMPARE(capture.messages(), log);
    const QList<int> levels = capture.levels();
    QVERIFY(std::all_of(levels.begin(), levels.end(), [](int level) { return level == LOG_ERROR; }));
}

void TestDisassemblerWin32::skipsCallOverlappingAbs32Location()
{
    PeImage pe = basicImage(false);
    QByteArray &text = pe.sections[0].raw;
    // 0x10: E8 whose field 0x11..0x14 would reach 0x1025, but an abs32 value sits at 0x12..0x15.
    // Its last byte is E8 again; a scan resuming inside the abs32 field would take that call
    // (field 0x16, target 0x1030). The scan resumes at 0x16 instead and finds the call at 0x1A.
    text.replace(0x10, 15, QByteArray::fromHex("E8 10 000000 E8 16000000 E8 11000000"));
    QByteArray relocSection(0x200, '\0');
    const QByteArray table = relocBlock(0x1000, {0x3012, 0});
    relocSection.replace(0, table.size(), table);
    pe.sections.append({".reloc", 0x3000, 0x600, relocSection, 0});
    pe.relocRva = 0x3000;
    pe.relocSize = uint32_t(table.size());
    const QByteArray image = pe.build();

    DisassemblerWin32X86 disassembler(image.constData(), size_t(image.size()));
    QVERIFY(disassembler.ReadHeader());
    InstructionProgram program(WIN_32_X86);
    QVERIFY(disassembler.Disassemble(&program));
    QCOMPARE(programreferences::references(program),
             QStringList({abs32(0x1012, 0xE8000000u - 0x400000u), rel32(0x101B, 0x1030)}));
    QCOMPARE(programreferences::reassemble(program), image);
}

void TestDisassemblerWin32::findsRel32CandidatesPerFlavour_data()
{
    QTest::addColumn<QByteArray>("opcode");
    QTest::addColumn<uint32_t>("target");
    QTest::addColumn<bool>("x86Finds");
    QTest::addColumn<bool>("x64Finds");

    // .text is 0x1000..0x1100, .data 0x2000..0x2100, the image ends at 0x3000.
    QTest::newRow("call into .text") << QByteArray("\xE8") << 0x1080u << true << true;
    QTest::newRow("jmp to the end of .text") << QByteArray("\xE9") << 0x1100u << false << false;
    QTest::newRow("call into .data") << QByteArray("\xE8") << 0x2000u << false << false;
    QTest::newRow("jne into .text") << QByteArray("\x0F\x85") << 0x1080u << true << true;
    QTest::newRow("jp into .text") << QByteArray("\x0F\x8A") << 0x1080u << false << false;
    QTest::newRow("jnp into .text") << QByteArray("\x0F\x8B") << 0x1080u << false << false;
    QTest::newRow("call [rip] into .data") << QByteArray("\xFF\x15") << 0x2000u << false << true;
    QTest::newRow("jmp [rip] into .text") << QByteArray("\xFF\x25") << 0x1080u << false << true;
    QTest::newRow("call [rip] beyond the image") << QByteArray("\xFF\x15") << 0x3000u << false << false;
    QTest::newRow("lea rax, [rip] into .data") << QByteArray("\x48\x8D\x05") << 0x2010u << false << true;
    QTest::newRow("mov r9, [rip] into .data") << QByteArray("\x49\x8B\x0D") << 0x2010u << false << true;
    QTest::newRow("lea rax, [rax + rcx]") << QByteArray("\x48\x8D\x04") << 0x2010u << false << false;
    QTest::newRow("mov ecx, [rip] without REX.W") << QByteArray("\x8B\x0D") << 0x2010u << false << false;
}

void TestDisassemblerWin32::findsRel32CandidatesPerFlavour()
{
    QFETCH(QByteArray, opcode);
    QFETCH(uint32_t, target);
    QFETCH(bool, x86Finds);
    QFETCH(bool, x64Finds);

    for (bool x64 : {false, true}) {
        PeImage pe = basicImage(x64);
        pe.sizeOfImage = 0x3000;
        QByteArray text(0x100, '\0');
        const uint32_t field = 0x1000 + 0x10 + uint32_t(opcode.size());
        text.replace(0x10, opcode.size() + 4, opcode + le32(target - (field + 4)));
        pe.sections = {{".text", 0x1000, 0x400, text, 0},
                       {".data", 0x2000, 0x600, QByteArray(0x100, '\0'), 0}};
        const QByteArray image = pe.build();

        std::unique_ptr<DisassemblerWin32> disassembler = makeDisassembler(x64, image);
        QVERIFY(disassembler->ReadHeader());
        InstructionProgram program(disassembler->type());
        QVERIFY(disassembler->Disassemble(&program));
        const QStringList expected =
            (x64 ? x64Finds : x86Finds) ? QStringList{rel32(field, target)} : QStringList();
        QCOMPARE(programreferences::references(program), expected);
        QCOMPARE(programreferences::reassemble(program), image);
    }
}

void TestDisassemblerWin32::emitsBytesBetweenSectionsInFileOrder()
{
    PeImage pe = basicImage(false);
    QByteArray text(0x200, char(0x90));
    text.replace(0, 5, "\xE8" + le32(0x1100 - 0x1005));
    // Listed out of file order; .rdata's raw data lies inside .text's and is walked as part of it.
    pe.sections = {{".data", 0x2000, 0x800, QByteArray(0x100, char(0x11)), 0},
                   {".text", 0x1000, 0x400, text, 0},
                   {".rdata", 0x5000, 0x500, QByteArray(0x80, char(0x90)), 0}};
    pe.overlay = 0x20;
    QByteArray image = pe.build();
    image.replace(0x600, 0x200, QByteArray(0x200, char(0x5A)));

    DisassemblerWin32X86 disassembler(image.constData(), size_t(image.size()));
    QVERIFY(disassembler.ReadHeader());
    InstructionProgram program(WIN_32_X86);
    QVERIFY(disassembler.Disassemble(&program));

    // The plain bytes played back right before each origin, however they are grouped into instructions.
    QVector<uint32_t> origins;
    QList<QByteArray> plainBeforeOrigin;
    QByteArray run;
    for (const Instruction *instruction : program.instructions()) {
        if (instruction->kind == BYTE) {
            run.append(char(instruction->value));
        } else if (instruction->kind == MULTIPLEBYTES) {
            run.append(reinterpret_cast<const char *>(instruction->bytes), int(instruction->length));
        } else {
            if (instruction->kind == ORIGIN) {
                origins.append(instruction->value);
                plainBeforeOrigin.append(run);
            }
            run.clear();
        }
    }
    QCOMPARE(origins, QVector<uint32_t>({0x1000, 0x2000}));
    // The headers, and .text after its call followed by the gap before .data, are plain bytes.
    QCOMPARE(plainBeforeOrigin[0], image.left(0x400));
    QCOMPARE(plainBeforeOrigin[1], image.mid(0x405, 0x800 - 0x405));
    QVERIFY(plainBeforeOrigin[1].endsWith(QByteArray(0x200, char(0x5A))));
    QCOMPARE(programreferences::references(program), QStringList{rel32(0x1001, 0x1100)});
    QCOMPARE(programreferences::reassemble(program), image.left(0x900));
}

void TestDisassemblerWin32::reassemblesRealExecutables_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("x64");

    const QDir corpus(corpusDir());
    QFile pairs(corpus.filePath(QStringLiteral("corpus.tsv")));
    if (!pairs.open(QIODevice::ReadOnly))
        QSKIP("no executable corpus (set VX_CORPUS_DIR)");
    while (!pairs.atEnd()) {
        const QList<QByteArray> fields = pairs.readLine().trimmed().split('\t');
        if (fields.size() < 7 || !fields[1].startsWith("PE32"))
            continue;
        QTest::newRow(fields[6].constData())
            << corpus.filePath(QString::fromUtf8(fields[6])) << fields[1].startsWith("PE32+");
    }
}

void TestDisassemblerWin32::reassemblesRealExecutables()
{
    QFETCH(QString, path);
    QFETCH(bool, x64);

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        QSKIP("corpus file missing");
    const QByteArray image = file.readAll();

    std::unique_ptr<DisassemblerWin32> disassembler = makeDisassembler(x64, image);
    QVERIFY2(disassembler->ReadHeader(), disassembler->failureReason());
    QVERIFY(!makeDisassembler(!x64, image)->ReadHeader());
    InstructionProgram program(disassembler->type());
    QVERIFY2(disassembler->Disassemble(&program), disassembler->failureReason());
    QVERIFY(programreferences::countKind(program, REL32) > 1000);
    QVERIFY(programreferences::countKind(program, ABS32) > 100);
    QVERIFY(programreferences::reassemble(program) == image.left(int(disassembler->length())));
}

QTEST_GUILESS_MAIN(TestDisassemblerWin32)
#include "testdisassemblerwin32.moc"
