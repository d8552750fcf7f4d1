#include "disassemblerelf32x86.h"

#include "instructionprogram.h"

namespace vxpatch {

namespace {

constexpr uint32_t R_386_RELATIVE = 8;

} // namespace

bool DisassemblerElf32X86::RelocationTarget(const RelocationEntry &entry, uint32_t *rva) const
{
    // Only relative relocations without a symbol hold a plain address to rebase.
    if (entry.info != R_386_RELATIVE)
        return false;
    *rva = uint32_t(entry.offset);
    return true;
}

bool DisassemblerElf32X86::EmitRelocationSection(const Section &section, InstructionProgram *program)
{
    const uint8_t *begin = nullptr;
    const uint8_t *end = nullptr;
    if (!SectionBytes(section, &begin, &end))
        return false;
    const std::vector<uint32_t> &locations = abs32Locations();
    const size_t k = locations.size();
    const uint8_t *rest = begin;
    if (k > 0 && RelocationCount(section) >= k) {
        bool match = true;
        for (size_t i = 0; i < k && match; ++i) {
            const RelocationEntry entry = ReadRelocation(begin + i * 8);
            match = entry.info == R_386_RELATIVE && entry.offset == locations[i];
        }
        // The table is regenerated from the abs32 references at assembly time.
        if (match) {
            if (!program->EmitElfRelocs())
                return false;
            rest = begin + k * 8;
        }
    }
    return rest == end || program->EmitBytes(rest, size_t(end - rest));
}

void DisassemblerElf32X86::ClearRel32Locations()
{
    m_rel32Locations.clear();
    m_locationStore.clear();
}

bool DisassemblerElf32X86::ScanRel32(const Section &section)
{
    return ScanX86Rel32(section, false, m_locationStore);
}

} // namespace vxpatch
