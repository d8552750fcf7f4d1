#ifndef VXPATCH_DISASSEMBLER_MACHO_H
#define VXPATCH_DISASSEMBLER_MACHO_H

#include "disassembler.h"

#include <cstdint>
#include <vector>

namespace vxpatch {

// Thin Mach-O images of x86 and x86-64. There is no relocation table to
// regenerate: only rel32 references in code sections become label references.
// Addresses are rebased so that the lowest segment starts at 0.
class DisassemblerMacho : public Disassembler
{
public:
    DisassemblerMacho(const void *start, size_t length);

    // MACHO_X86 or MACHO_X64 once ReadHeader() has seen the magic, UNKNOWN before.
    ExecutableType type() const override { return m_type; }
    bool ReadHeader() override;
    bool Disassemble(InstructionProgram *program) override;

private:
    bool ParseHeader();
    bool DisassembleImage(InstructionProgram *program);

    struct Segment
    {
        uint64_t vmaddr;
        uint32_t vmsize;
        uint32_t fileoff;
        uint32_t filesize;
    };

    // Addresses inside code sections come from the segments' file mapping (rebased),
    // so a code section only keeps where its bytes lie.
    struct CodeSection
    {
        uint32_t size;
        uint32_t offset;
    };

    bool ReadSegment(const uint8_t *command, uint32_t commandSize);
    bool ReadSegment64(const uint8_t *command, uint32_t commandSize);
    // Records the segment and checks that its file bytes lie inside the image.
    bool AddSegment(uint64_t vmaddr, uint32_t vmsize, uint32_t fileoff, uint32_t filesize);
    bool AddCodeSection(const Segment &segment, uint64_t address, uint64_t size, uint32_t offset);

    uint32_t FileOffsetToAddress(uint64_t offset) const;
    bool IsInSegment(uint32_t address) const;
    bool ScanRel32(const CodeSection &section);
    bool ParseFileRegion(uint64_t regionStart, uint64_t regionEnd, InstructionProgram *program,
                         std::vector<uint32_t>::const_iterator &rel32Cursor);

    ExecutableType m_type = UNKNOWN;
    std::vector<Segment> m_segments;
    std::vector<CodeSection> m_codeSections;
    uint64_t m_segmentsEnd = 0;
    std::vector<uint32_t> m_rel32Locations;
    // A second Disassemble (see EncodeElement) walks the same locations again.
    bool m_locationsCollected = false;
};

} // namespace vxpatch

#endif
