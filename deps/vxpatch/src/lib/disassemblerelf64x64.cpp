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
    const uint8_t *begin = nullptr;
    const uint8_t *end = nullptr;
    if (!SectionBytes(section, &begin, &end))
        return false;
    const uint8_t *p = begin;
    while (p < end) {
        const Rel32Field candidate = FindRel32Field(p, size_t(end - p), true);
        if (candidate.offset != 0) {
            const uint8_t *field = p + candidate.offset;
            TypedRVAX64 location(SectionRva(section, field, begin));
            if (location.ComputeTarget(field) && IsInCodeSection(location.targetRva())) {
                m_locationStore.push_back(location);
                m_rel32Locations.push_back(&m_locationStore.back());
                p = field + 4;
                continue;
            }
        }
        ++p;
    }
    return true;
}

} // namespace vxpatch
