#include "disassemblerelf64.h"

namespace vxpatch {

DisassemblerElf::HeaderFields DisassemblerElf64::ReadHeaderFields() const
{
    const uint8_t *p = start();
    HeaderFields fields;
    fields.type = Read16(p + 16);
    fields.machine = Read16(p + 18);
    fields.version = Read32(p + 20);
    fields.programHeaderOffset = Read64(p + 32);
    fields.sectionHeaderOffset = Read64(p + 40);
    fields.programHeaderCount = Read16(p + 56);
    fields.sectionHeaderSize = Read16(p + 58);
    fields.sectionCount = Read16(p + 60);
    return fields;
}

DisassemblerElf::Section DisassemblerElf64::ReadSection(const uint8_t *p) const
{
    Section section;
    section.type = Read32(p + 4);
    section.address = Read64(p + 16);
    section.offset = Read64(p + 24);
    section.size = Read64(p + 32);
    section.entrySize = Read64(p + 56);
    return section;
}

DisassemblerElf::Segment DisassemblerElf64::ReadSegment(const uint8_t *p) const
{
    Segment segment;
    segment.offset = Read64(p + 8);
    segment.virtualAddress = Read64(p + 16);
    segment.fileSize = Read64(p + 32);
    segment.memorySize = Read64(p + 40);
    return segment;
}

DisassemblerElf::RelocationEntry DisassemblerElf64::ReadRelocation(const uint8_t *p) const
{
    return RelocationEntry{Read64(p), Read64(p + 8)};
}

} // namespace vxpatch
