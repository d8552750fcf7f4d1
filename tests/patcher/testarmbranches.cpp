#include "disassemblerelf32arm.h"
#include "encodedprogram.h"
#include "streams.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace vxpatch;
using Arm = DisassemblerElf32ARM;

namespace {

void put16(uint8_t *p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

// A random instruction of the form, with the bits the disassembler's scan requires.
int randomInstruction(QRandomGenerator &random, int form, uint8_t *p)
{
    const uint32_t r = random.generate();
    switch (form) {
    case Arm::kThumbConditional16:
        put16(p, 0xD000 | (r & 0x0FFF));
        return 2;
    case Arm::kThumbBranch16:
        put16(p, 0xE000 | (r & 0x07FF));
        return 2;
    case Arm::kArmBranch: {
        const uint32_t w = (r & 0xF0FFFFFF) | 0x0A000000;
        put16(p, w);
        put16(p + 2, w >> 16);
        return 4;
    }
    case Arm::kThumbBranchLink32: {
        const uint32_t h2 = 0x8000 | (r & 0x7FFF);
        put16(p, 0xF000 | (r >> 16 & 0x07FF));
        put16(p + 2, (h2 & 0x5000) ? h2 : h2 | 0x1000);
        return 4;
    }
    default:
        put16(p, 0xF000 | (r >> 16 & 0x07FF));
        put16(p + 2, 0x8000 | (r & 0x2FFF));
        return 4;
    }
}

} // namespace

class TestArmBranches : public QObject
{
    Q_OBJECT

private slots:
    void reassemblesWhatTheDisassemblerReads_data();
    void reassemblesWhatTheDisassemblerReads();
};

void TestArmBranches::reassemblesWhatTheDisassemblerReads_data()
{
    QTest::addColumn<int>("form");

    QTest::newRow("thumb conditional 16") << int(Arm::kThumbConditional16);
    QTest::newRow("thumb branch 16") << int(Arm::kThumbBranch16);
    QTest::newRow("arm branch") << int(Arm::kArmBranch);
    QTest::newRow("thumb branch with link 32") << int(Arm::kThumbBranchLink32);
    QTest::newRow("thumb conditional 32") << int(Arm::kThumbConditional32);
}

// The compressed op and the label address must carry the whole instruction:
// assembling them at the same address gives back its exact bytes.
void TestArmBranches::reassemblesWhatTheDisassemblerReads()
{
    QFETCH(int, form);

    QRandomGenerator random(quint32(form + 11));
    for (int i = 0; i < 5000; ++i) {
        uint8_t instruction[4];
        const int size = randomInstruction(random, form, instruction);
        const uint32_t address = random.generate() & ~1u;
        Arm::TypedRVAARM branch(form, address);
        QVERIFY(branch.ComputeTarget(instruction));
        QCOMPARE(int(branch.OpSize()), size);

        EncodedProgram program;
        QVERIFY(program.DefineRel32Label(0, branch.targetRva()));
        program.EndLabels();
        QVERIFY(program.AddOrigin(address));
        QVERIFY(program.AddRel32Arm(branch.op(), 0));
        ByteSink out;
        QCOMPARE(program.Assemble(out), kPatchOk);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(out.Data()), int(out.Length())),
                 QByteArray(reinterpret_cast<const char *>(instruction), size));
    }
}

QTEST_APPLESS_MAIN(TestArmBranches)
#include "testarmbranches.moc"
