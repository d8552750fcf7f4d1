#include "disassemblerelf32.h"

namespace vxpatch {

DisassemblerElf::HeaderFields DisassemblerElf32::ReadHeaderFields() const
{
    const uint8_t *p = start();
    HeaderFields fields;
    fields.type = Read16(p + 16);
    fields.machine = Read16(p + 18);
    fields.version = Read32(p + 20);
    fields.programHeaderOffset = Read32(p + 28);
    fields.sectionHeaderOffset = Read32(p + 32);
    fields.programHeaderCount = Read16(p + 44);
    fields.sectionHeaderSize = Read16(p + 46);
    fields.sectionCount = Read16(p + 48);
    return fields;
}

DisassemblerElf::Section DisassemblerElf32::ReadSection(const uint8_t *p) const
{
    Section section;
    section.type = Read32(p + 4);
    section.address = Read32(p + 12);
    section.offset = Read32(p + 16);
    section.size = Read32(p + 20);
    section.entrySize = Read32(p + 36);
    return section;
}

DisassemblerElf::Segment DisassemblerElf32::ReadSegment(const uint8_t *p) const
{
    Segment segment;
    segment.offset = Read32(p + 4);
    segment.virtualAddress = Read32(p + 8);
    segment.fileSize = Read32(p + 16);
    segment.memorySize = Read32(p + 20);
    return segment;
}

DisassemblerElf::RelocationEntry DisassemblerElf32::ReadRelocation(const uint8_t *p) const
{
    return RelocationEntry{Read32(p), Read32(p + 4)};
}

} // namespace vxpatch
