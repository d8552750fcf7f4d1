#include "disassemblerelf64x64.h"

#include "instructionprogram.h"

namespace vxpatch {

bool DisassemblerElf64X64::RelocationTarget(const RelocationEntry &, uint32_t *) const
{
    return false;
}

bool DisassemblerElf64X64::EmitRelocationSection(const Section &section, InstructionProgram *program)
{
    const uint8_t *begin = nullptr;
    const uint8_t *end = nullptr;
    if (!SectionBytes(section, &begin, &end))
        return false;
    return begin == end || program->EmitBytes(begin, size_t(end - begin));
}

void DisassemblerElf64X64::ClearRel32Locations()
{
    m_rel32Locations.clear();
    m_locationStore.clear();
}

bool DisassemblerElf64X64::ScanRel32(const Section &section)
{
    return ScanX86Rel32(section, true, m_locationStore);
}

} // namespace vxpatch
