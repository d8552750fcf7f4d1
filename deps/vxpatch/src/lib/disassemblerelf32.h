#ifndef VXPATCH_DISASSEMBLERELF32_H
#define VXPATCH_DISASSEMBLERELF32_H

#include "disassemblerelf.h"

namespace vxpatch {

// The ELF32 header layout (52-byte header, 40-byte section and 32-byte program headers).
class DisassemblerElf32 : public DisassemblerElf
{
public:
    using DisassemblerElf::DisassemblerElf;

protected:
    size_t ElfHeaderSize() const override { return 52; }
    size_t SectionHeaderSize() const override { return 40; }
    size_t ProgramHeaderSize() const override { return 32; }
    size_t RelocationEntrySize() const override { return 8; }
    HeaderFields ReadHeaderFields() const override;
    Section ReadSection(const uint8_t *p) const override;
    Segment ReadSegment(const uint8_t *p) const override;
    RelocationEntry ReadRelocation(const uint8_t *p) const override;
};

} // namespace vxpatch

#endif
