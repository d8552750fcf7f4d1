#ifndef VXPATCH_DISASSEMBLERELF64X64_H
#define VXPATCH_DISASSEMBLERELF64X64_H

#include "disassemblerelf64.h"

#include <deque>

namespace vxpatch {

// x86-64 ELF executables and shared objects (ELF_64_X64). No abs32 locations
// (x86-64 relocates through RELA sections, which stay bytes); rel32 locations
// are branch fields and RIP-relative data references.
class DisassemblerElf64X64 : public DisassemblerElf64
{
public:
    // A rel32 field; the field address is the record's rva.
    class TypedRVAX64 : public TypedRVARel32
    {
    public:
        using TypedRVARel32::TypedRVARel32;
    };

    using DisassemblerElf64::DisassemblerElf64;

    ExecutableType type() const override { return ELF_64_X64; }
    uint16_t ElfMachine() const override { return 62; }
    bool RelocationTarget(const RelocationEntry &entry, uint32_t *rva) const override;
    bool EmitRelocationSection(const Section &section, InstructionProgram *program) override;
    bool ScanRel32(const Section &section) override;

private:
    void ClearRel32Locations() override;

    std::deque<TypedRVAX64> m_locationStore;
};

} // namespace vxpatch

#endif
