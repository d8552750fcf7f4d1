#include "disassembler_win32.h"

#include "instructionprogram.h"
#include "logmessage.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vxpatch {

namespace {

const uint16_t kPe32Magic = 0x10B;
const uint16_t kPe32PlusMagic = 0x20B;
const size_t kSectionHeaderSize = 40;
const int kValidatedDirectories[] = {0, 1, 2, 3, 5, 11, 12, 13, 14};
const int kBaseRelocationDirectory = 5;

} // namespace

DisassemblerWin32::DisassemblerWin32(const void *start, size_t length, const Variant &variant)
    : Disassembler(start, length), m_variant(variant)
{
}

bool DisassemblerWin32::ReadHeader()
{
    // The lists grow with the image; running out of memory is a failure like any other.
    try {
        return ParseHeader();
    } catch (const std::bad_alloc &) {
        return Bad("out of memory");
    }
}

bool DisassemblerWin32::ParseHeader()
{
    if (length() < 64)
        return Bad("Too small");
    if (start()[0] != 'M' || start()[1] != 'Z')
        return Bad("Not MZ");

    const uint64_t peOffset = Read32(start() + 60);
    if (peOffset >= length() || peOffset == 0 || peOffset + 24 >= length())
        return Bad("Bad offset to PE header");
    if (peOffset % 8 != 0)
        return Bad("Misaligned PE header");
    const uint8_t *pe = start() + peOffset;
    if (std::memcmp(pe, "PE\0\0", 4) != 0)
        return Bad("no PE signature");

    const uint16_t numberOfSections = Read16(pe + 6);
    const uint16_t sizeOfOptionalHeader = Read16(pe + 20);
    const uint64_t optionalHeaderOffset = peOffset + 24;
    if (optionalHeaderOffset + sizeOfOptionalHeader >= length())
        return Bad("optional header past end of file");
    if (sizeOfOptionalHeader < 2)
        return Bad("optional header no magic");
    const uint8_t *optionalHeader = start() + optionalHeaderOffset;
    const uint16_t magic = Read16(optionalHeader);
    if (magic != kPe32Magic && magic != kPe32PlusMagic)
        return Bad("unrecognized magic");
    const bool pe32Plus = magic == kPe32PlusMagic;
    if (sizeOfOptionalHeader < (pe32Plus ? 112 : 96))
        return Bad("optional header too short");

    m_imageBase = pe32Plus ? Read64(optionalHeader + 24) : Read32(optionalHeader + 28);
    m_sizeOfImage = Read32(optionalHeader + 56);
    const uint32_t numberOfRvaAndSizes = Read32(optionalHeader + (pe32Plus ? 108 : 92));
    for (int index : kValidatedDirectories) {
        DataDirectory directory;
        if (!ReadDataDirectory(optionalHeader, sizeOfOptionalHeader, pe32Plus, numberOfRvaAndSizes, index,
                               directory))
            return Bad("malformed data directory");
        if (index == kBaseRelocationDirectory)
            m_baseRelocationTable = directory;
    }

    const uint64_t sectionTableOffset = optionalHeaderOffset + sizeOfOptionalHeader;
    if (!IsArrayInBounds(sectionTableOffset, numberOfSections, kSectionHeaderSize))
        return Bad("section table past end of file");
    m_sections.clear();
    m_sections.reserve(numberOfSections);
    uint64_t rawDataEnd = 0;
    for (size_t i = 0; i < numberOfSections; ++i) {
        const uint8_t *header = start() + sectionTableOffset + i * kSectionHeaderSize;
        Section section;
        std::memcpy(section.name, header, sizeof section.name);
        section.virtualSize = Read32(header + 8);
        section.virtualAddress = Read32(header + 12);
        section.sizeOfRawData = Read32(header + 16);
        section.pointerToRawData = Read32(header + 20);
        rawDataEnd = std::max(rawDataEnd, uint64_t(section.pointerToRawData) + section.sizeOfRawData);
        m_sections.push_back(section);
    }
    // Whatever follows the last section's raw data (signatures, overlays) is not part of the image.
    ReduceLength(rawDataEnd);

    if (magic != m_variant.magic)
        return Bad(m_variant.otherMagicReason);
    if (std::none_of(m_sections.begin(), m_sections.end(), IsTextSection))
        return Bad("Resource-only executables are not yet supported");
    return Good();
}

bool DisassemblerWin32::ReadDataDirectory(const uint8_t *optionalHeader, uint32_t sizeOfOptionalHeader,
                                          bool pe32Plus, uint32_t numberOfRvaAndSizes, int index,
                                          DataDirectory &directory) const
{
    if (uint32_t(index) >= numberOfRvaAndSizes) {
        directory = DataDirectory();
        return true;
    }
    const uint32_t entryOffset = (pe32Plus ? 112 : 96) + 8 * index;
    if (entryOffset >= sizeOfOptionalHeader)
        return false;
    if (!IsRangeInBounds(PointerToFileOffset(optionalHeader) + entryOffset, 8))
        return false;
    directory.rva = Read32(optionalHeader + entryOffset);
    directory.size = Read32(optionalHeader + entryOffset + 4);
    return directory.size <= m_sizeOfImage;
}

bool DisassemblerWin32::IsTextSection(const Section &section)
{
    return std::memcmp(section.name, ".text\0", 6) == 0;
}

bool DisassemblerWin32::Disassemble(InstructionProgram *program)
{
    if (!ok())
        return false;
    try {
        return DisassembleImage(program);
    } catch (const std::bad_alloc &) {
        return Bad("out of memory");
    }
}

bool DisassemblerWin32::DisassembleImage(InstructionProgram *program)
{
    program->set_image_base(m_imageBase);

    const std::vector<const Section *> sorted = SectionsByFileOffset();
    size_t cursor = 0;
    uint64_t position = 0;
    if (!m_locationsCollected) {
        if (!ParseRelocs())
            return false;
        m_rel32Locations.clear();
        while (const Section *section = NextInFileOrder(sorted, cursor, position)) {
            if (IsTextSection(*section) && !ParseRel32RelocsFromSection(*section))
                return false;
        }
        std::sort(m_rel32Locations.begin(), m_rel32Locations.end());
        m_locationsCollected = true;
    }
    // Each reference and the run of bytes before it, an origin and a run per section.
    if (!program->ReserveInstructions(2 * (m_abs32Locations.size() + m_rel32Locations.size()) +
                                      3 * sorted.size() + 4))
        return Bad("out of memory");

    // Both cursors carry over from one region to the next.
    auto abs32Cursor = m_abs32Locations.cbegin();
    auto rel32Cursor = m_rel32Locations.cbegin();
    uint64_t fileOffset = 0;
    cursor = 0;
    position = 0;
    while (fileOffset < length()) {
        const Section *section = NextInFileOrder(sorted, cursor, position);
        if (section == nullptr)
            break;
        uint64_t regionStart = fileOffset;
        if (fileOffset < section->pointerToRawData) {
            if (!EmitFileBytes(fileOffset, section->pointerToRawData, "section outside image", program))
                return false;
            regionStart = section->pointerToRawData;
        }
        const uint64_t regionEnd = regionStart + section->sizeOfRawData;
        if (!ParseFileRegion(regionStart, regionEnd, program, abs32Cursor, rel32Cursor))
            return false;
        fileOffset = regionEnd;
    }

    program->DefaultAssignIndexes();
    return true;
}

std::vector<const DisassemblerWin32::Section *> DisassemblerWin32::SectionsByFileOffset() const
{
    std::vector<const Section *> sorted;
    for (const Section &section : m_sections) {
        if (section.sizeOfRawData != 0)
            sorted.push_back(&section);
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const Section *a, const Section *b) {
        return a->pointerToRawData < b->pointerToRawData;
    });
    return sorted;
}

const DisassemblerWin32::Section *
DisassemblerWin32::NextInFileOrder(const std::vector<const Section *> &sorted, size_t &cursor,
                                   uint64_t &position)
{
    while (cursor < sorted.size() && sorted[cursor]->pointerToRawData < position)
        ++cursor;
    if (cursor == sorted.size())
        return nullptr;
    const Section *section = sorted[cursor++];
    position = std::max<uint64_t>(position, section->pointerToRawData) + section->sizeOfRawData;
    return section;
}

bool DisassemblerWin32::RvaToFileOffset(uint32_t rva, uint64_t &offset) const
{
    for (const Section &section : m_sections) {
        if (section.virtualAddress <= rva && rva < uint64_t(section.virtualAddress) + section.virtualSize) {
            const uint32_t delta = rva - section.virtualAddress;
            if (delta >= section.sizeOfRawData)
                return false;
            offset = uint64_t(section.pointerToRawData) + delta;
            return true;
        }
    }
    // Outside every section only rvas 0 and 2 have a file offset; the patch format fixed that mapping.
    if (rva == 0 || rva == 2) {
        offset = rva;
        return true;
    }
    LogError("REACHED UNREACHABLE");
    return false;
}

uint32_t DisassemblerWin32::FileOffsetToRva(uint64_t offset) const
{
    for (const Section &section : m_sections) {
        if (section.pointerToRawData <= offset &&
            offset < uint64_t(section.pointerToRawData) + section.sizeOfRawData)
            return uint32_t(offset - section.pointerToRawData + section.virtualAddress);
    }
    return 0;
}

bool DisassemblerWin32::ParseRelocs()
{
    m_abs32Locations.clear();
    const uint32_t tableSize = m_baseRelocationTable.size;
    if (tableSize == 0)
        return true;
    uint64_t tableStart = 0;
    if (!RvaToFileOffset(m_baseRelocationTable.rva, tableStart) || !IsRangeInBounds(tableStart, tableSize))
        return Bad(".relocs outside image");
    const uint64_t tableEnd = tableStart + tableSize;

    if (tableSize > 8) {
        uint64_t block = tableStart;
        do {
            const uint32_t page = Read32(start() + block);
            const uint32_t blockSize = Read32(start() + block + 4);
            if (blockSize < 8 || blockSize % 4 != 0)
                return Bad("unreasonable relocs block");
            if (!IsRangeInBounds(block, blockSize))
                return Bad(".relocs block outside image");
            for (uint64_t entry = block + 8; entry < block + blockSize; entry += 2) {
                const uint16_t value = Read16(start() + entry);
                const int type = value >> 12;
                if (type == 0)
                    continue;
                if (type != m_variant.relocType)
                    return Bad("unknown type of reloc");
                m_abs32Locations.push_back(page + (value & 0xFFF));
            }
            block += blockSize;
        } while (block + 8 < tableEnd);
    }
    std::sort(m_abs32Locations.begin(), m_abs32Locations.end());
    return true;
}

bool DisassemblerWin32::ParseRel32RelocsFromSection(const Section &section)
{
    const uint64_t sectionStart = section.pointerToRawData;
    const uint64_t sectionEnd = sectionStart + section.sizeOfRawData;
    if (!IsRangeInBounds(sectionStart, section.sizeOfRawData))
        return Bad("section outside image");
    const uint32_t startRva = FileOffsetToRva(sectionStart);
    const uint64_t endRva = uint64_t(startRva) + section.virtualSize;
    const uint8_t *bytes = start();

    // Each section is scanned with a fresh cursor over the (sorted) abs32 locations.
    auto abs32Cursor = m_abs32Locations.cbegin();
    uint64_t q = sectionStart;
    while (q < sectionEnd) {
        const uint32_t rva = uint32_t(startRva + (q - sectionStart));
        if (rva == m_baseRelocationTable.rva && m_baseRelocationTable.size != 0) {
            q += m_baseRelocationTable.size;
            continue;
        }

        const Rel32Field candidate =
            FindRel32Field(bytes + q, size_t(sectionEnd - q), m_variant.scansRipRelative);
        if (candidate.offset == 0) {
            ++q;
            continue;
        }
        const uint64_t field = q + candidate.offset;
        const bool ripRelative = candidate.ripRelative;

        const uint32_t fieldRva = uint32_t(startRva + (field - sectionStart));
        // An abs32 location overlapping the field means the bytes were data, not an instruction.
        while (abs32Cursor != m_abs32Locations.cend() && *abs32Cursor < uint32_t(fieldRva - 3))
            ++abs32Cursor;
        if (abs32Cursor != m_abs32Locations.cend() && *abs32Cursor < uint32_t(fieldRva + 4)) {
            q += int64_t(*abs32Cursor) - int64_t(rva) + 4;
            continue;
        }

        const uint32_t target = fieldRva + 4 + Read32(bytes + field);
        if (target < m_sizeOfImage && (ripRelative || (startRva <= target && target < endRva))) {
            m_rel32Locations.push_back(fieldRva);
            q = field + 4;
        } else {
            ++q;
        }
    }
    return true;
}

bool DisassemblerWin32::ParseFileRegion(uint64_t regionStart, uint64_t regionEnd, InstructionProgram *program,
                                        std::vector<uint32_t>::const_iterator &abs32Cursor,
                                        std::vector<uint32_t>::const_iterator &rel32Cursor)
{
    if (!IsRangeInBounds(regionStart, regionEnd - regionStart))
        return Bad("section outside image");
    // Addresses run on linearly from the origin, exactly as assembly will count them.
    const uint32_t startRva = FileOffsetToRva(regionStart);
    if (!program->EmitOrigin(startRva))
        return Bad("out of memory");

    const uint32_t abs32Base = uint32_t(m_imageBase);
    uint64_t r = regionStart;
    while (r < regionEnd) {
        const uint32_t rva = uint32_t(startRva + (r - regionStart));
        if (rva == m_baseRelocationTable.rva) {
            if (!program->EmitPeRelocs())
                return Bad("out of memory");
            if (m_baseRelocationTable.size != 0) {
                r += m_baseRelocationTable.size;
                continue;
            }
        }

        while (abs32Cursor != m_abs32Locations.cend() && *abs32Cursor < rva)
            ++abs32Cursor;
        if (abs32Cursor != m_abs32Locations.cend() && *abs32Cursor == rva) {
            if (!IsRangeInBounds(r, 4))
                return Bad("abs32 location outside image");
            Label *label = program->FindOrMakeAbs32Label(Read32(start() + r) - abs32Base);
            if (label == nullptr || !program->EmitAbs32(label))
                return Bad("out of memory");
            r += 4;
            continue;
        }

        while (rel32Cursor != m_rel32Locations.cend() && *rel32Cursor < rva)
            ++rel32Cursor;
        if (rel32Cursor != m_rel32Locations.cend() && *rel32Cursor == rva) {
            if (!EmitRel32At(r, rva, program))
                return false;
            r += 4;
            continue;
        }

        // Plain bytes up to the next reference or the relocation table go out
        // as one run: they encode exactly as single bytes would, at a fraction
        // of the memory. A run never wraps the 32-bit address.
        uint64_t runEnd = std::min<uint64_t>(regionEnd, r + (uint64_t(1) << 32) - rva);
        if (m_baseRelocationTable.rva > rva)
            runEnd = std::min<uint64_t>(runEnd, r + (m_baseRelocationTable.rva - rva));
        if (abs32Cursor != m_abs32Locations.cend())
            runEnd = std::min<uint64_t>(runEnd, r + (*abs32Cursor - rva));
        if (rel32Cursor != m_rel32Locations.cend())
            runEnd = std::min<uint64_t>(runEnd, r + (*rel32Cursor - rva));
        if (!program->EmitBytes(start() + r, size_t(runEnd - r)))
            return Bad("out of memory");
        r = runEnd;
    }
    return true;
}

} // namespace vxpatch
