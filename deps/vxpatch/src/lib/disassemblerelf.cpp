#include "disassemblerelf.h"

#include "instructionprogram.h"
#include "log/logmessage.h"

#include <algorithm>

namespace vxpatch {

namespace {

// a + b without wrapping, for extents computed from untrusted 64-bit fields.
uint64_t SaturatingAdd(uint64_t a, uint64_t b)
{
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

} // namespace

DisassemblerElf::TypedRVA::~TypedRVA() = default;

bool DisassemblerElf::TypedRVARel32::ComputeTarget(const uint8_t *p)
{
    setRelativeTarget(int32_t(Read32(p) + 4));
    return true;
}

bool DisassemblerElf::TypedRVARel32::EmitInstruction(InstructionProgram *program, uint32_t targetRva)
{
    Label *label = program->FindOrMakeRel32Label(targetRva);
    return label != nullptr && program->EmitRel32(label);
}

DisassemblerElf::DisassemblerElf(const void *start, size_t length) : Disassembler(start, length) {}

DisassemblerElf::~DisassemblerElf() = default;

bool DisassemblerElf::ReadHeader()
{
    if (length() < ElfHeaderSize())
        return Bad("Too small");
    const uint8_t *p = start();
    if (p[0] != 0x7F || p[1] != 'E' || p[2] != 'L' || p[3] != 'F')
        return Bad("No Magic Number");

    const HeaderFields header = ReadHeaderFields();
    if (header.type != 2 && header.type != 3)
        return Bad("Not an executable file or shared library");
    if (header.machine != ElfMachine())
        return Bad("Not a supported architecture");
    if (header.version != 1)
        return Bad("Unknown file version");
    if (header.sectionHeaderSize != SectionHeaderSize())
        return Bad("Unexpected section header size");
    if (header.sectionHeaderOffset >= length())
        return Bad("Out of bounds section header table offset");
    if (!IsArrayInBounds(header.sectionHeaderOffset, header.sectionCount, SectionHeaderSize()))
        return Bad("Out of bounds section header table");
    if (header.programHeaderOffset >= length())
        return Bad("Out of bounds program header table offset");
    if (!IsArrayInBounds(header.programHeaderOffset, header.programHeaderCount, ProgramHeaderSize()))
        return Bad("Out of bounds program header table");

    m_sections.clear();
    m_segments.clear();
    const uint64_t sectionTableEnd = header.sectionHeaderOffset + header.sectionCount * SectionHeaderSize();
    const uint64_t programTableEnd =
        header.programHeaderOffset + header.programHeaderCount * ProgramHeaderSize();
    uint64_t extent = std::max(sectionTableEnd, programTableEnd);
    for (uint16_t i = 0; i < header.sectionCount; ++i) {
        const Section section = ReadSection(p + header.sectionHeaderOffset + i * SectionHeaderSize());
        if (section.type != SHT_NOBITS)
            extent = std::max(extent, SaturatingAdd(section.offset, section.size));
        m_sections.push_back(section);
    }
    for (uint16_t i = 0; i < header.programHeaderCount; ++i) {
        const Segment segment = ReadSegment(p + header.programHeaderOffset + i * ProgramHeaderSize());
        extent = std::max(extent, SaturatingAdd(segment.offset, segment.fileSize));
        m_segments.push_back(segment);
    }
    // Whatever follows the ELF extent (signatures, appended data) is not part of the executable.
    ReduceLength(extent);
    BuildCodeRanges();
    return Good();
}

bool DisassemblerElf::Disassemble(InstructionProgram *program)
{
    if (!ok())
        return false;
    program->set_image_base(0);
    if (!m_locationsCollected) {
        if (!CollectAbs32Locations() || !CollectRel32Locations() || !ResolveFileOffsets())
            return false;
        m_locationsCollected = true;
    }
    // Each reference and the run of bytes before it, an origin and a run per section.
    if (!program->ReserveInstructions(2 * (m_abs32Locations.size() + m_rel32Locations.size()) +
                                      3 * m_sections.size() + 2))
        return false;
    if (!WalkFile(program))
        return false;
    program->DefaultAssignIndexes();
    return true;
}

uint32_t DisassemblerElf::SectionRva(const Section &section, const uint8_t *p, const uint8_t *start)
{
    return uint32_t(section.address) + uint32_t(p - start);
}

bool DisassemblerElf::SectionBytes(const Section &section, const uint8_t **begin, const uint8_t **end) const
{
    if (!IsRangeInBounds(section.offset, section.size))
        return false;
    *begin = FileOffsetToPointer(size_t(section.offset));
    *end = *begin + section.size;
    return true;
}

uint64_t DisassemblerElf::RelocationCount(const Section &section) const
{
    if (section.entrySize == 0)
        return 0;
    // Entries are read at their natural size; never more than the section holds.
    return std::min(section.size / section.entrySize, section.size / RelocationEntrySize());
}

bool DisassemblerElf::IsInCodeSection(uint32_t rva) const
{
    // The first range starting above rva; the one before it is the only candidate.
    auto next = std::upper_bound(m_codeRanges.begin(), m_codeRanges.end(), uint64_t(rva),
                                 [](uint64_t value, const CodeRange &range) { return value < range.start; });
    return next != m_codeRanges.begin() && rva < std::prev(next)->end;
}

void DisassemblerElf::BuildCodeRanges()
{
    m_codeRanges.clear();
    for (const Section &section : m_sections) {
        if (section.type == SHT_PROGBITS && section.size > 0)
            m_codeRanges.push_back(CodeRange{section.address, SaturatingAdd(section.address, section.size)});
    }
    std::sort(m_codeRanges.begin(), m_codeRanges.end(),
              [](const CodeRange &a, const CodeRange &b) { return a.start < b.start; });
    // Merged, so that a lookup in the sorted starts needs only one neighbour.
    std::vector<CodeRange> merged;
    for (const CodeRange &range : m_codeRanges) {
        if (!merged.empty() && range.start <= merged.back().end)
            merged.back().end = std::max(merged.back().end, range.end);
        else
            merged.push_back(range);
    }
    m_codeRanges.swap(merged);
}

bool DisassemblerElf::RvaToFileOffset(uint32_t rva, size_t *offset) const
{
    for (const Segment &segment : m_segments) {
        if (segment.virtualAddress <= rva && rva - segment.virtualAddress < segment.memorySize &&
            rva - segment.virtualAddress < segment.fileSize) {
            const uint64_t fileOffset = SaturatingAdd(rva - segment.virtualAddress, segment.offset);
            if (fileOffset > SIZE_MAX)
                return false;
            *offset = size_t(fileOffset);
            return true;
        }
    }
    return false;
}

bool DisassemblerElf::IsInProgbitsOrRelSection(size_t offset) const
{
    for (const Section &section : m_sections) {
        if ((section.type == SHT_PROGBITS || section.type == SHT_REL) && section.offset <= offset &&
            offset - section.offset < section.size)
            return true;
    }
    return false;
}

bool DisassemblerElf::CollectAbs32Locations()
{
    m_abs32Locations.clear();
    for (const Section &section : m_sections) {
        if (section.type != SHT_REL)
            continue;
        const uint8_t *begin = nullptr;
        const uint8_t *end = nullptr;
        if (!SectionBytes(section, &begin, &end))
            return false;
        const uint64_t count = RelocationCount(section);
        for (uint64_t i = 0; i < count; ++i) {
            uint32_t rva = 0;
            size_t offset = 0;
            if (RelocationTarget(ReadRelocation(begin + i * RelocationEntrySize()), &rva) &&
                RvaToFileOffset(rva, &offset) && IsInProgbitsOrRelSection(offset))
                m_abs32Locations.push_back(rva);
        }
    }
    std::sort(m_abs32Locations.begin(), m_abs32Locations.end());
    return true;
}

bool DisassemblerElf::CollectRel32Locations()
{
    ClearRel32Locations();
    for (const Section &section : m_sections) {
        if (section.type == SHT_PROGBITS && !ScanRel32(section))
            return false;
    }
    const auto byRva = [](const TypedRVA *a, const TypedRVA *b) { return a->rva() < b->rva(); };
    // Sections usually come in address order, and then so do their locations.
    if (!std::is_sorted(m_rel32Locations.begin(), m_rel32Locations.end(), byRva))
        std::stable_sort(m_rel32Locations.begin(), m_rel32Locations.end(), byRva);
    return true;
}

bool DisassemblerElf::ResolveFileOffsets()
{
    m_abs32Offsets.clear();
    for (uint32_t rva : m_abs32Locations) {
        size_t offset = 0;
        if (!RvaToFileOffset(rva, &offset))
            return false;
        m_abs32Offsets.push_back(offset);
    }
    for (TypedRVA *location : m_rel32Locations) {
        size_t offset = 0;
        if (!RvaToFileOffset(location->rva(), &offset))
            return false;
        location->setFileOffset(offset);
    }
    return true;
}

bool DisassemblerElf::EmitGap(size_t from, size_t to, InstructionProgram *program)
{
    if (from >= to)
        return true;
    if (to > length())
        return false;
    return program->EmitBytes(FileOffsetToPointer(from), to - from);
}

bool DisassemblerElf::WalkFile(InstructionProgram *program)
{
    m_nextAbs32 = 0;
    m_nextRel32 = 0;
    size_t current = 0;
    for (const Section &section : m_sections) {
        if (section.offset > length())
            return false;
        const size_t sectionOffset = size_t(section.offset);
        if (!EmitGap(current, sectionOffset, program))
            return false;
        // Sections out of file order move the position back; their bytes are then emitted twice.
        current = sectionOffset;
        switch (section.type) {
        case SHT_PROGBITS:
            if (!EmitProgbitsSection(section, program))
                return false;
            current = size_t(section.offset + section.size);
            break;
        case SHT_NOBITS:
        case SHT_INIT_ARRAY:
        case SHT_FINI_ARRAY:
            // Their contents get no label references; the final diff carries them.
            while (m_nextAbs32 < m_abs32Offsets.size() && m_abs32Offsets[m_nextAbs32] >= current &&
                   m_abs32Offsets[m_nextAbs32] - current < section.size) {
                LogDebug("Skipping relocation entry for unsupported section: ", section.type);
                ++m_nextAbs32;
            }
            break;
        case SHT_REL: {
            const uint8_t *begin = nullptr;
            const uint8_t *end = nullptr;
            if (!SectionBytes(section, &begin, &end) || !EmitRelocationSection(section, program))
                return false;
            current = size_t(section.offset + section.size);
            break;
        }
        default:
            if (m_nextAbs32 < m_abs32Offsets.size() && m_abs32Offsets[m_nextAbs32] >= current &&
                m_abs32Offsets[m_nextAbs32] - current < section.size)
                LogDebug("Relocation address in unrecognized ELF section: ", section.type);
            break;
        }
    }
    if (!EmitGap(current, length(), program))
        return false;
    return m_nextAbs32 == m_abs32Offsets.size();
}

bool DisassemblerElf::EmitProgbitsSection(const Section &section, InstructionProgram *program)
{
    const uint8_t *begin = nullptr;
    const uint8_t *end = nullptr;
    if (!SectionBytes(section, &begin, &end))
        return false;
    const size_t origin = size_t(section.offset);
    const size_t e = origin + size_t(section.size);
    const uint32_t rva = uint32_t(section.address);
    if (!program->EmitOrigin(rva))
        return false;

    size_t f = origin;
    while (f < e) {
        const bool abs32Pending = m_nextAbs32 < m_abs32Offsets.size();
        if (abs32Pending && m_abs32Offsets[m_nextAbs32] < f)
            return false;
        while (m_nextRel32 < m_rel32Locations.size() && m_rel32Locations[m_nextRel32]->fileOffset() < f)
            ++m_nextRel32;
        const bool rel32Pending = m_nextRel32 < m_rel32Locations.size();

        size_t h = e;
        if (abs32Pending)
            h = std::min(h, m_abs32Offsets[m_nextAbs32]);
        if (rel32Pending && m_rel32Locations[m_nextRel32]->fileOffset() + 3 < h)
            h = m_rel32Locations[m_nextRel32]->fileOffset();

        if (f < h) {
            if (!program->EmitBytes(FileOffsetToPointer(f), h - f))
                return false;
            f = h;
            continue;
        }

        // h == f here: one of the pending locations starts at f, and abs32 wins a tie.
        if (abs32Pending && m_abs32Offsets[m_nextAbs32] == f) {
            if (!IsRangeInBounds(f, 4))
                return false;
            Label *label = program->FindOrMakeAbs32Label(Read32(FileOffsetToPointer(f)));
            if (label == nullptr || !program->EmitAbs32(label))
                return false;
            f += 4;
            ++m_nextAbs32;
        } else {
            TypedRVA &location = *m_rel32Locations[m_nextRel32];
            const uint32_t target = rva + uint32_t(f - origin) + uint32_t(location.relativeTarget());
            if (!location.EmitInstruction(program, target))
                return false;
            f += location.OpSize();
            ++m_nextRel32;
        }
    }
    return true;
}

} // namespace vxpatch
