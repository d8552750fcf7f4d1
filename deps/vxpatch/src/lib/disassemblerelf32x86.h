#ifndef VXPATCH_DISASSEMBLERELF32X86_H
#define VXPATCH_DISASSEMBLERELF32X86_H

#include "disassemblerelf32.h"

#include <deque>

namespace vxpatch {

// 32-bit x86 ELF executables and shared objects (EXE_ELF_32_X86). Abs32
// locations come from R_386_RELATIVE entries, rel32 locations from call, jmp
// and conditional near jump fields.
class DisassemblerElf32X86 : public DisassemblerElf32
{
public:
    // A rel32 field of a call or jump; the field address is the record's rva.
    class TypedRVAX86 : public TypedRVARel32
    {
    public:
        using TypedRVARel32::TypedRVARel32;
    };

    using DisassemblerElf32::DisassemblerElf32;

    ExecutableType type() const override { return EXE_ELF_32_X86; }
    uint16_t ElfMachine() const override { return 3; }
    bool RelocationTarget(const RelocationEntry &entry, uint32_t *rva) const override;
    bool EmitRelocationSection(const Section &section, InstructionProgram *program) override;
    bool ScanRel32(const Section &section) override;

private:
    void ClearRel32Locations() override;

    std::deque<TypedRVAX86> m_locationStore;
};

} // namespace vxpatch

#endif
