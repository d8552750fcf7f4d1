#ifndef VXPATCH_DISASSEMBLERELF32ARM_H
#define VXPATCH_DISASSEMBLERELF32ARM_H

#include "disassemblerelf32.h"

#include <deque>

namespace vxpatch {

// 32-bit ARM ELF executables and shared objects (ELF_32_ARM), ARM and Thumb-2
// code mixed. Abs32 locations come from R_ARM_RELATIVE entries, rel32
// locations from five branch forms.
class DisassemblerElf32ARM : public DisassemblerElf32
{
public:
    enum ArmForm
    {
        kThumbConditional16 = 0, // 1101 cccc iiiiiiii
        kThumbBranch16 = 1,      // 11100 + imm11
        kArmBranch = 2,          // cccc 101L + imm24
        kThumbBranchLink32 = 3,  // BL, BLX and B.W
        kThumbConditional32 = 4, // B<c>.W
    };

    // A branch instruction; the record's rva is the instruction's own address.
    class TypedRVAARM : public TypedRVA
    {
    public:
        TypedRVAARM(int form, uint32_t rva) : TypedRVA(rva), m_form(form) {}
        bool ComputeTarget(const uint8_t *p) override;
        bool EmitInstruction(InstructionProgram *program, uint32_t targetRva) override;
        uint16_t OpSize() const override;

        int form() const { return m_form; }
        uint16_t op() const { return m_op; }

    private:
        int m_form;
        uint16_t m_op = 0;
        const uint8_t *m_instruction = nullptr;
    };

    using DisassemblerElf32::DisassemblerElf32;

    ExecutableType type() const override { return ELF_32_ARM; }
    uint16_t ElfMachine() const override { return 40; }
    bool RelocationTarget(const RelocationEntry &entry, uint32_t *rva) const override;
    bool EmitRelocationSection(const Section &section, InstructionProgram *program) override;
    bool ScanRel32(const Section &section) override;

private:
    void ClearRel32Locations() override;

    std::deque<TypedRVAARM> m_locationStore;
};

} // namespace vxpatch

#endif
