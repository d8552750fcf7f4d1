#ifndef VXPATCH_DISASSEMBLERELF64_H
#define VXPATCH_DISASSEMBLERELF64_H

#include "disassemblerelf.h"

namespace vxpatch {

// The ELF64 header layout (64-byte header and section headers, 56-byte program headers).
class DisassemblerElf64 : public DisassemblerElf
{
public:
    using DisassemblerElf::DisassemblerElf;

protected:
    size_t ElfHeaderSize() const override { return 64; }
    size_t SectionHeaderSize() const override { return 64; }
    size_t ProgramHeaderSize() const override { return 56; }
    size_t RelocationEntrySize() const override { return 16; }
    HeaderFields ReadHeaderFields() const override;
    Section ReadSection(const uint8_t *p) const override;
    Segment ReadSegment(const uint8_t *p) const override;
    RelocationEntry ReadRelocation(const uint8_t *p) const override;
};

} // namespace vxpatch

#endif
