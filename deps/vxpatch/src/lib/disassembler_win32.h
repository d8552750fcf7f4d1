#ifndef VXPATCH_DISASSEMBLER_WIN32_H
#define VXPATCH_DISASSEMBLER_WIN32_H

#include "disassembler.h"

#include <cstdint>
#include <vector>

namespace vxpatch {

// The walk shared by the PE32 and PE32+ disassemblers. Abs32 locations come
// from the base relocation table, rel32 locations from scanning the ".text"
// sections; the relocation table becomes one instruction that assembly
// regenerates from the abs32 locations.
class DisassemblerWin32 : public Disassembler
{
public:
    bool ReadHeader() override;
    bool Disassemble(InstructionProgram *program) override;

protected:
    // What tells the two PE flavours apart; everything else is common.
    struct Variant
    {
        uint16_t magic;               // optional header magic this class accepts
        const char *otherMagicReason; // reason when the image has the other flavour's magic
        uint16_t relocType;           // the base relocation type the abs32 locations use
        bool scansRipRelative;        // x64: FF 15 / FF 25 and REX.W mov/lea [rip+disp32]
    };

    DisassemblerWin32(const void *start, size_t length, const Variant &variant);

private:
    bool ParseHeader();
    bool DisassembleImage(InstructionProgram *program);

    struct Section
    {
        char name[8];
        uint32_t virtualSize;
        uint32_t virtualAddress;
        uint32_t sizeOfRawData;
        uint32_t pointerToRawData;
    };

    struct DataDirectory
    {
        uint32_t rva = 0;
        uint32_t size = 0;
    };

    bool ReadDataDirectory(const uint8_t *optionalHeader, uint32_t sizeOfOptionalHeader, bool pe32Plus,
                           uint32_t numberOfRvaAndSizes, int index, DataDirectory &directory) const;
    static bool IsTextSection(const Section &section);

    // Sections with raw data, ordered by PointerToRawData (table order among equals).
    std::vector<const Section *> SectionsByFileOffset() const;
    // The next section in file order at or after `position` from `sorted`, advancing `cursor`; null at the
    // end.
    static const Section *NextInFileOrder(const std::vector<const Section *> &sorted, size_t &cursor,
                                          uint64_t &position);

    // Returns false when the rva lies in no raw data.
    bool RvaToFileOffset(uint32_t rva, uint64_t &offset) const;
    uint32_t FileOffsetToRva(uint64_t offset) const;

    bool ParseRelocs();
    bool ParseRel32RelocsFromSection(const Section &section);
    bool ParseFileRegion(uint64_t start, uint64_t end, InstructionProgram *program,
                         std::vector<uint32_t>::const_iterator &abs32Cursor,
                         std::vector<uint32_t>::const_iterator &rel32Cursor);

    Variant m_variant;
    uint64_t m_imageBase = 0;
    uint32_t m_sizeOfImage = 0;
    // The only data directory used after the header check; the others are merely validated.
    DataDirectory m_baseRelocationTable;
    std::vector<Section> m_sections;

    std::vector<uint32_t> m_abs32Locations;
    std::vector<uint32_t> m_rel32Locations;
    // A second Disassemble (see EncodeElement) walks the same locations again.
    bool m_locationsCollected = false;
};

} // namespace vxpatch

#endif
