#include "disassembler.h"
#include "disassemblerelf32arm.h"
#include "disassemblerelf32x86.h"
#include "disassemblerelf64x64.h"
#include "elffixture.h"
#include "executabledetection.h"
#include "instructionprogram.h"

#include <QtTest>
#include <memory>

using namespace elffixture;

namespace {

enum Which
{
    X86,
    ARM,
    X64,
};

std::unique_ptr<vxpatch::Disassembler> make(int which, const QByteArray &image)
{
    switch (which) {
    case X86:
        return std::make_unique<vxpatch::DisassemblerElf32X86>(image.constData(), size_t(image.size()));
    case ARM:
        return std::make_unique<vxpatch::DisassemblerElf32ARM>(image.constData(), size_t(image.size()));
    default:
        return std::make_unique<vxpatch::DisassemblerElf64X64>(image.constData(), size_t(image.size()));
    }
}

QByteArray imageFor(int which)
{
    const QVector<Section> sections{Section{SHT_PROGBITS, QByteArray(16, char(0x90))}};
    switch (which) {
    case X86:
        return elf32(3, sections);
    case ARM:
        return elf32(40, sections);
    default:
        return elf64(sections);
    }
}

} // namespace

Q_DECLARE_METATYPE(vxpatch::ExecutableType)

class TestElfHeader : public QObject
{
    Q_OBJECT

private slots:
    void rejectsWithReason_data();
    void rejectsWithReason();
    void acceptsWellFormedImages_data();
    void acceptsWellFormedImages();
    void cutsTrailingBytesBeyondTheElfExtent();
    void detectsInTheFixedOrder_data();
    void detectsInTheFixedOrder();
    void reportsNoDisassemblerForOtherBytes();
};

void TestElfHeader::rejectsWithReason_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("reason");

    for (int which : {X86, ARM, X64}) {
        const bool is64 = which == X64;
        const QByteArray good = imageFor(which);
        const char *name = which == X86 ? "x86" : which == ARM ? "arm" : "x64";
        auto row = [&](const char *what, QByteArray image, const char *reason) {
            QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(name, what))) << which << image << reason;
        };

        row("40 bytes", good.left(40), "Too small");
        row("header cut", good.left(is64 ? 63 : 51), "Too small");
        QByteArray image = good;
        image[1] = 'X';
        row("magic", image, "No Magic Number");
        image = good;
        put16(image, 16, 1);
        row("relocatable", image, "Not an executable file or shared library");
        image = good;
        put16(image, 16, 2);
        put16(image, 18, which == X86 ? 40 : 3);
        row("machine", image, "Not a supported architecture");
        image = good;
        put32(image, 20, 2);
        row("version", image, "Unknown file version");
        image = good;
        put16(image, is64 ? 58 : 46, is64 ? 40 : 64);
        row("section header size", image, "Unexpected section header size");
        image = good;
        if (is64)
            put64(image, 40, uint64_t(image.size()));
        else
            put32(image, 32, uint32_t(image.size()));
        row("section table offset", image, "Out of bounds section header table offset");
        image = good;
        put16(image, is64 ? 60 : 48, 200);
        row("section table", image, "Out of bounds section header table");
        image = good;
        if (is64)
            put64(image, 32, uint64_t(image.size()) + 100);
        else
            put32(image, 28, uint32_t(image.size()) + 100);
        row("program table offset", image, "Out of bounds program header table offset");
        image = good;
        put16(image, is64 ? 56 : 44, 2000);
        row("program table", image, "Out of bounds program header table");
    }
    // An ELF32 image of type 1 that is only its 52-byte header.
    QByteArray bare = elf32(3, {}).left(52);
    put16(bare, 16, 1);
    QTest::newRow("bare relocatable header")
        << int(X86) << bare << QString("Not an executable file or shared library");
    // Class mismatches are caught by the machine field.
    QTest::newRow("x86 given an ELF64")
        << int(X86) << imageFor(X64) << QString("Not a supported architecture");
    QTest::newRow("x64 given an ELF32 ARM")
        << int(X64) << imageFor(ARM) << QString("Not a supported architecture");
}

void TestElfHeader::rejectsWithReason()
{
    QFETCH(int, which);
    QFETCH(QByteArray, image);
    QFETCH(QString, reason);

    std::unique_ptr<vxpatch::Disassembler> disassembler = make(which, image);
    QCOMPARE(QString(disassembler->failureReason()), QString("uninitialized"));
    QVERIFY(!disassembler->ReadHeader());
    QCOMPARE(QString(disassembler->failureReason()), reason);
    vxpatch::InstructionProgram program(disassembler->type());
    QVERIFY(!disassembler->Disassemble(&program));
}

void TestElfHeader::acceptsWellFormedImages_data()
{
    QTest::addColumn<int>("which");
    QTest::newRow("x86") << int(X86);
    QTest::newRow("arm") << int(ARM);
    QTest::newRow("x64") << int(X64);
}

void TestElfHeader::acceptsWellFormedImages()
{
    QFETCH(int, which);
    const QByteArray image = imageFor(which);
    std::unique_ptr<vxpatch::Disassembler> disassembler = make(which, image);
    QVERIFY(disassembler->ReadHeader());
    QCOMPARE(disassembler->failureReason(), static_cast<const char *>(nullptr));
    QCOMPARE(disassembler->length(), size_t(image.size()));
}

void TestElfHeader::cutsTrailingBytesBeyondTheElfExtent()
{
    const QByteArray image = imageFor(X86);
    const QByteArray padded = image + QByteArray(100, 'x');
    vxpatch::DisassemblerElf32X86 disassembler(padded.constData(), size_t(padded.size()));
    QVERIFY(disassembler.ReadHeader());
    QCOMPARE(disassembler.length(), size_t(image.size()));
    QCOMPARE(disassembler.end(), disassembler.start() + image.size());
}

void TestElfHeader::detectsInTheFixedOrder_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<vxpatch::ExecutableType>("type");
    QTest::newRow("x86") << imageFor(X86) << vxpatch::EXE_ELF_32_X86;
    QTest::newRow("arm") << imageFor(ARM) << vxpatch::ELF_32_ARM;
    QTest::newRow("x64") << imageFor(X64) << vxpatch::ELF_64_X64;
}

void TestElfHeader::detectsInTheFixedOrder()
{
    QFETCH(QByteArray, image);
    QFETCH(vxpatch::ExecutableType, type);
    std::unique_ptr<vxpatch::Disassembler> found =
        vxpatch::DetectDisassembler(image.constData(), size_t(image.size()));
    QVERIFY(found);
    QCOMPARE(found->type(), type);

    std::unique_ptr<vxpatch::InstructionProgram> program;
    QCOMPARE(vxpatch::DisassembleElement(image.constData(), size_t(image.size()), program),
             vxpatch::kPatchOk);
    QVERIFY(program);
    QCOMPARE(program->kind(), type);
}

void TestElfHeader::reportsNoDisassemblerForOtherBytes()
{
    QByteArray noise(4096, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) >> 3);
    std::unique_ptr<vxpatch::InstructionProgram> program;
    QCOMPARE(vxpatch::DisassembleElement(noise.constData(), size_t(noise.size()), program),
             vxpatch::kNoDisassembler);
    QVERIFY(!program);
    QVERIFY(!vxpatch::DetectDisassembler(noise.constData(), 40));
}

QTEST_APPLESS_MAIN(TestElfHeader)
#include "testelfheader.moc"
