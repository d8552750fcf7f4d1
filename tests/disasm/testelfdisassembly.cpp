#include "disassemblerelf32arm.h"
#include "elffixture.h"
#include "executabledetection.h"
#include "instructionprogram.h"
#include "programreferences.h"

#include <QtTest>
#include <memory>

using namespace elffixture;
using namespace programreferences;

namespace {

const uint32_t kText = sectionAddress(1);
constexpr uint32_t R_386_GLOB_DAT = 6;
constexpr uint32_t R_386_RELATIVE = 8;
constexpr uint32_t R_ARM_GLOB_DAT = 21;
constexpr uint32_t R_ARM_RELATIVE = 23;

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int value : values)
        out.append(char(value));
    return out;
}

// Text whose bytes sit at kText + index, padded to 0x80 bytes so that targets up to
// kText + 0x7F lie inside and no scan rule runs out of room.
QByteArray text(const QByteArray &code)
{
    return code + QByteArray(0x80 - code.size(), '\0');
}

// A reference field for an instruction whose field starts at `field` and points to `target`.
QByteArray field(uint32_t field, uint32_t target)
{
    return le32(target - (field + 4));
}

} // namespace

class TestElfDisassembly : public QObject
{
    Q_OBJECT

private slots:
    void scansX86Branches_data();
    void scansX86Branches();
    void scansArmBranches_data();
    void scansArmBranches();
    void decodesArmBranchTargets_data();
    void decodesArmBranchTargets();
    void replacesLeadingX86RelocationsByOneInstruction_data();
    void replacesLeadingX86RelocationsByOneInstruction();
    void emitsArmRelocationsAroundTheMatchedRun_data();
    void emitsArmRelocationsAroundTheMatchedRun();
    void stopsTheArmRelocationWalkAtTheSectionEnd();
    void prefersAbs32OverRel32AtTheSameOffset();
    void failsWhenAnAbs32LocationIsLeftBehind();
    void reassemblesOnlyUpToTheElfExtent();
};

void TestElfDisassembly::scansX86Branches_data()
{
    QTest::addColumn<bool>("is64");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QStringList>("expected");

    const uint32_t target = kText + 0x40;
    for (bool is64 : {false, true}) {
        const QString arch = is64 ? "x64" : "x86";
        auto row = [&](const char *name, const QByteArray &code, const QStringList &expected) {
            QTest::newRow(qPrintable(arch + " " + name)) << is64 << code << expected;
        };
        row("call E8", bytes({0xE8}) + field(kText + 1, target), {rel32(kText + 1, target)});
        row("jmp E9", bytes({0xE9}) + field(kText + 1, target), {rel32(kText + 1, target)});
        row("jz 0F 84", bytes({0x0F, 0x84}) + field(kText + 2, target), {rel32(kText + 2, target)});
        row("jo 0F 80", bytes({0x0F, 0x80}) + field(kText + 2, target), {rel32(kText + 2, target)});
        row("jg 0F 8F", bytes({0x0F, 0x8F}) + field(kText + 2, target), {rel32(kText + 2, target)});
        row("jp 0F 8A never", bytes({0x0F, 0x8A}) + field(kText + 2, target), {});
        row("jnp 0F 8B never", bytes({0x0F, 0x8B}) + field(kText + 2, target), {});
        row("call outside every PROGBITS", bytes({0xE8}) + field(kText + 1, 0x100000), {});
        // The first call's field reads E8 10 00 00, far outside; the scan moves one byte on.
        row("rejected call retried one byte later", bytes({0xE8, 0xE8}) + le32(0x10),
            {rel32(kText + 2, kText + 2 + 4 + 0x10)});
        row("two calls back to back",
            bytes({0xE8}) + field(kText + 1, target) + bytes({0xE8}) + field(kText + 6, kText),
            {rel32(kText + 1, target), rel32(kText + 6, kText)});
        const QStringList ripCall = is64 ? QStringList{rel32(kText + 2, target)} : QStringList{};
        row("call FF 15", bytes({0xFF, 0x15}) + field(kText + 2, target), ripCall);
        row("jmp FF 25", bytes({0xFF, 0x25}) + field(kText + 2, target), ripCall);
        const QStringList ripData = is64 ? QStringList{rel32(kText + 3, target)} : QStringList{};
        row("mov 48 8B 05", bytes({0x48, 0x8B, 0x05}) + field(kText + 3, target), ripData);
        row("lea 49 8D 0D", bytes({0x49, 0x8D, 0x0D}) + field(kText + 3, target), ripData);
        row("lea 48 8D 3D", bytes({0x48, 0x8D, 0x3D}) + field(kText + 3, target), ripData);
        row("mov 48 8B 45 not rip-relative", bytes({0x48, 0x8B, 0x45}) + field(kText + 3, target), {});
        row("mov 4C 8B 05 other rex", bytes({0x4C, 0x8B, 0x05}) + field(kText + 3, target), {});
        row("mov 48 89 05 other opcode", bytes({0x48, 0x89, 0x05}) + field(kText + 3, target), {});
    }
}

void TestElfDisassembly::scansX86Branches()
{
    QFETCH(bool, is64);
    QFETCH(QByteArray, code);
    QFETCH(QStringList, expected);

    const QVector<Section> sections{Section{SHT_PROGBITS, text(code)}};
    const QByteArray image = is64 ? elf64(sections) : elf32(3, sections);
    std::unique_ptr<vxpatch::InstructionProgram> program = disassemble(image);
    QVERIFY(program);
    QCOMPARE(references(*program), expected);
    QCOMPARE(reassemble(*program), image);
}

void TestElfDisassembly::scansArmBranches_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("form 0: b<c> 16-bit") << le16(0xD104) << QStringList{arm(kText, 0x10D1, kText + 12)};
    QTest::newRow("form 1: b 16-bit") << le16(0xE006) << QStringList{arm(kText, 0x201C, kText + 16)};
    QTest::newRow("form 2: bl ARM") << le32(0xEB000002) << QStringList{arm(kText, 0x30EB, kText + 16)};
    QTest::newRow("form 3: bl Thumb")
        << le16(0xF000) + le16(0xF83E) << QStringList{arm(kText, 0x44F7, kText + 0x80)};
    // BLX from a halfword position counts from the word-aligned pc.
    QTest::newRow("form 3: blx from halfword")
        << le16(0) + le16(0xF000) + le16(0xE83E) << QStringList{arm(kText + 2, 0x42F6, kText + 0x80)};
    QTest::newRow("form 4: b<c>.w") << le16(0xF040) + le16(0x8010)
                                    << QStringList{arm(kText, 0x5001, kText + 0x24)};
    QTest::newRow("ARM word at a halfword position is not a branch")
        << le16(0) + le32(0xEB000002) << QStringList{};
    QTest::newRow("a found branch makes the next position a word again")
        << le16(0xE006) + le32(0xEB000002)
        << QStringList{arm(kText, 0x201C, kText + 16), arm(kText + 2, 0x30EB, kText + 2 + 16)};
    QTest::newRow("target outside every PROGBITS") << le32(0xEB100000) << QStringList{};
}

void TestElfDisassembly::scansArmBranches()
{
    QFETCH(QByteArray, code);
    QFETCH(QStringList, expected);

    const QByteArray image = elf32(40, {Section{SHT_PROGBITS, text(code) + QByteArray(0x10, '\0')}});
    std::unique_ptr<vxpatch::InstructionProgram> program = disassemble(image);
    QVERIFY(program);
    QCOMPARE(program->kind(), vxpatch::ELF_32_ARM);
    QCOMPARE(references(*program), expected);
    QCOMPARE(reassemble(*program), image);
}

void TestElfDisassembly::decodesArmBranchTargets_data()
{
    QTest::addColumn<int>("form");
    QTest::addColumn<uint32_t>("rva");
    QTest::addColumn<QByteArray>("instruction");
    QTest::addColumn<uint32_t>("op");
    QTest::addColumn<uint32_t>("target");

    using A = vxpatch::DisassemblerElf32ARM;
    QTest::newRow("form 0 backwards")
        << int(A::kThumbConditional16) << 0x1000u << le16(0xD0FE) << 0x10D0u << 0x1000u;
    QTest::newRow("form 1 backwards")
        << int(A::kThumbBranch16) << 0x1000u << le16(0xE7FE) << 0x201Cu << 0x1000u;
    QTest::newRow("form 2 backwards")
        << int(A::kArmBranch) << 0x1000u << le32(0xEAFFFFFE) << 0x30EAu << 0x1000u;
    QTest::newRow("form 3 bl, S set")
        << int(A::kThumbBranchLink32) << 0x1000u << le16(0xF7FF) + le16(0xFFFE) << 0x44F7u << 0x1000u;
    // Offset bit 19 comes from J1 and bit 18 from J2: J1 alone moves the target by 0x80000.
    QTest::newRow("form 4 J1 pairs with offset bit 19")
        << int(A::kThumbConditional32) << 0x1000u << le16(0xF000) + le16(0xA000) << 0x5000u << 0x81004u;
    QTest::newRow("form 4 J2 pairs with offset bit 18")
        << int(A::kThumbConditional32) << 0x1000u << le16(0xF000) + le16(0x8800) << 0x5000u << 0x41004u;
}

void TestElfDisassembly::decodesArmBranchTargets()
{
    QFETCH(int, form);
    QFETCH(uint32_t, rva);
    QFETCH(QByteArray, instruction);
    QFETCH(uint32_t, op);
    QFETCH(uint32_t, target);

    vxpatch::DisassemblerElf32ARM::TypedRVAARM location(form, rva);
    QVERIFY(location.ComputeTarget(reinterpret_cast<const uint8_t *>(instruction.constData())));
    QCOMPARE(uint32_t(location.op()), op);
    QCOMPARE(location.targetRva(), target);
    QCOMPARE(int(location.OpSize()), instruction.size());
}

namespace {

// Rebased pointers in .data (3) whose relocations in .rel.dyn (2) come in the given order.
QByteArray imageWithRelocations(uint16_t machine, const QByteArray &relocations)
{
    const QByteArray code = machine == 40 ? le16(0) : bytes({0x90});
    return elf32(machine, {Section{SHT_PROGBITS, text(code)}, Section{SHT_REL, relocations, 8},
                           Section{SHT_PROGBITS, le32(kText) + le32(kText + 1) + le32(0)}});
}

} // namespace

void TestElfDisassembly::replacesLeadingX86RelocationsByOneInstruction_data()
{
    const uint32_t data = sectionAddress(3);
    QTest::addColumn<QByteArray>("relocations");
    QTest::addColumn<int>("tables");
    QTest::newRow("the locations lead")
        << rel(data, R_386_RELATIVE) + rel(data + 4, R_386_RELATIVE) + rel(data + 8, R_386_GLOB_DAT) << 1;
    QTest::newRow("another entry leads")
        << rel(data + 8, R_386_GLOB_DAT) + rel(data, R_386_RELATIVE) + rel(data + 4, R_386_RELATIVE) << 0;
}

void TestElfDisassembly::replacesLeadingX86RelocationsByOneInstruction()
{
    QFETCH(QByteArray, relocations);
    QFETCH(int, tables);
    const uint32_t data = sectionAddress(3);
    const QByteArray image = imageWithRelocations(3, relocations);
    std::unique_ptr<vxpatch::InstructionProgram> program = disassemble(image);
    QVERIFY(program);
    QCOMPARE(references(*program), (QStringList{abs32(data, kText), abs32(data + 4, kText + 1)}));
    QCOMPARE(countKind(*program, vxpatch::MAKE_ELF_RELOCATION_TABLE), tables);
    QCOMPARE(reassemble(*program), image);
}

void TestElfDisassembly::emitsArmRelocationsAroundTheMatchedRun_data()
{
    const uint32_t data = sectionAddress(3);
    QTest::addColumn<QByteArray>("relocations");
    QTest::addColumn<int>("tables");
    QTest::addColumn<int>("droppedBytes");
    QTest::newRow("the locations follow another entry")
        << rel(data + 8, R_ARM_GLOB_DAT) + rel(data, R_ARM_RELATIVE) + rel(data + 4, R_ARM_RELATIVE) << 1
        << 0;
    // The walk matches the first entry, fails on the second and resumes behind it:
    // both are missing from the program, which the final diff of a patch restores.
    QTest::newRow("a mismatch inside the run")
        << rel(data, R_ARM_RELATIVE) + rel(data + 8, R_ARM_GLOB_DAT) + rel(data + 4, R_ARM_RELATIVE) << 0
        << 16;
}

void TestElfDisassembly::emitsArmRelocationsAroundTheMatchedRun()
{
    QFETCH(QByteArray, relocations);
    QFETCH(int, tables);
    QFETCH(int, droppedBytes);
    const QByteArray image = imageWithRelocations(40, relocations);
    std::unique_ptr<vxpatch::InstructionProgram> program = disassemble(image);
    QVERIFY(program);
    QCOMPARE(countKind(*program, vxpatch::MAKE_ELF_ARM_RELOCATION_TABLE), tables);
    QCOMPARE(reassemble(*program), QByteArray(image).remove(int(sectionOffset(2)), droppedBytes));
}

void TestElfDisassembly::stopsTheArmRelocationWalkAtTheSectionEnd()
{
    // The first location's entry is the section's last one: the walk matches it
    // and then finds no entry for the second location instead of reading on.
    const uint32_t data = sectionAddress(3);
    const QByteArray relocations = rel(data + 4, R_ARM_RELATIVE) + rel(data, R_ARM_RELATIVE);
    const QByteArray image =
        elf32(40, {Section{SHT_PROGBITS, text(le16(0))}, Section{SHT_REL, relocations, 8},
                   Section{SHT_PROGBITS, le32(kText) + le32(kText + 1)}});
    std::unique_ptr<vxpatch::InstructionProgram> program = disassemble(image);
    QVERIFY(program);
    QCOMPARE(countKind(*program, vxpatch::MAKE_ELF_ARM_RELOCATION_TABLE), 0);
    QByteArray expected = image;
    expected.remove(int(sectionOffset(2)) + 8, 8);
    QCOMPARE(reassemble(*program), expected);
}

void TestElfDisassembly::prefersAbs32OverRel32AtTheSameOffset()
{
    // The call's field is also listed as a rebased pointer.
    const QByteArray code = bytes({0xE8}) + field(kText + 1, kText + 0x10);
    const QByteArray image =
        elf32(3, {Section{SHT_PROGBITS, text(code)}, Section{SHT_REL, rel(kText + 1, R_386_RELATIVE), 8}});
    std::unique_ptr<vxpatch::InstructionProgram> program = disassemble(image);
    QVERIFY(program);
    QCOMPARE(references(*program), QStringList{abs32(kText + 1, 0x10 - 5)});
}

void TestElfDisassembly::failsWhenAnAbs32LocationIsLeftBehind()
{
    // A pointer inside the relocation section itself is never consumed by the walk.
    const uint32_t relocationSection = sectionAddress(2);
    const QByteArray image =
        elf32(3, {Section{SHT_PROGBITS, text(bytes({0x90}))},
                  Section{SHT_REL, rel(relocationSection + 8, R_386_RELATIVE) + rel(0, 0), 8},
                  Section{SHT_PROGBITS, le32(0)}});
    std::unique_ptr<vxpatch::InstructionProgram> program;
    QCOMPARE(vxpatch::DisassembleElement(image.constData(), size_t(image.size()), program),
             vxpatch::kDisassemblyFailed);
    QVERIFY(!program);
}

void TestElfDisassembly::reassemblesOnlyUpToTheElfExtent()
{
    const QByteArray image = elf32(3, {Section{SHT_PROGBITS, text(bytes({0xE8}) + field(kText + 1, kText))}});
    const QByteArray padded = image + QByteArray("trailing signature");
    std::unique_ptr<vxpatch::InstructionProgram> program = disassemble(padded);
    QVERIFY(program);
    QCOMPARE(reassemble(*program), image);
}

QTEST_APPLESS_MAIN(TestElfDisassembly)
#include "testelfdisassembly.moc"
