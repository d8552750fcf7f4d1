#include "disassembler_macho.h"

#include "instructionprogram.h"

#include <algorithm>
#include <new>

namespace vxpatch {

namespace {

const uint32_t kMagic32 = 0xFEEDFACE;
const uint32_t kMagic64 = 0xFEEDFACF;
const uint32_t kCpuTypeX86 = 7;
const uint32_t kCpuTypeX64 = 0x01000007;
const uint32_t kLcSegment = 1;
const uint32_t kLcSegment64 = 25;
const uint64_t kSegmentCommandSize = 56;
const uint64_t kSegment64CommandSize = 72;
const uint64_t kSectionSize = 68;
const uint64_t kSection64Size = 80;
const uint64_t k4GiB = uint64_t(1) << 32;

// Regular sections (type 0) marked as holding nothing but instructions.
bool IsCodeSection(uint32_t flags)
{
    return (flags & 0x800000FF) == 0x80000000;
}

bool IsAcceptedFileType(uint32_t fileType)
{
    return fileType == 2 || fileType == 5 || fileType == 6 || fileType == 8;
}

} // namespace

DisassemblerMacho::DisassemblerMacho(const void *start, size_t length) : Disassembler(start, length) {}

bool DisassemblerMacho::ReadHeader()
{
    // The lists grow with the image; running out of memory is a failure like any other.
    try {
        return ParseHeader();
    } catch (const std::bad_alloc &) {
        return Bad("out of memory");
    }
}

bool DisassemblerMacho::ParseHeader()
{
    if (length() < 32)
        return Bad("Too small");

    const uint32_t magic = Read32(start());
    const uint32_t cpuType = Read32(start() + 4);
    uint64_t headerSize = 0;
    if (magic == kMagic64) {
        m_type = MACHO_X64;
        headerSize = 32;
        if (cpuType != kCpuTypeX64)
            return Bad("unsupported cpu type");
    } else if (magic == kMagic32) {
        m_type = MACHO_X86;
        headerSize = 28;
        if (cpuType != kCpuTypeX86)
            return Bad("unsupported cpu type");
    } else {
        return Bad("Unknown magic type");
    }
    if (!IsAcceptedFileType(Read32(start() + 12)))
        return Bad("Unsupported filetype in header");

    m_segments.clear();
    m_codeSections.clear();
    m_segmentsEnd = 0;
    const uint32_t commandCount = Read32(start() + 16);
    uint64_t offset = headerSize;
    for (uint32_t i = 0; i < commandCount; ++i) {
        if (!IsRangeInBounds(offset, 8))
            return Bad("file to small in load commands");
        const uint8_t *command = start() + offset;
        const uint32_t cmd = Read32(command);
        const uint32_t commandSize = Read32(command + 4);
        // A command shorter than its own head would not advance the walk.
        if (commandSize < 8)
            return Bad("bad load command size");
        if (!IsRangeInBounds(offset, commandSize))
            return Bad("file to small in load commands");
        if (cmd == kLcSegment && !ReadSegment(command, commandSize))
            return false;
        if (cmd == kLcSegment64 && !ReadSegment64(command, commandSize))
            return false;
        offset += commandSize;
    }

    if (!m_segments.empty()) {
        const uint64_t lowest =
            std::min_element(m_segments.begin(), m_segments.end(), [](const Segment &a, const Segment &b) {
                return a.vmaddr < b.vmaddr;
            })->vmaddr;
        for (Segment &segment : m_segments) {
            segment.vmaddr -= lowest;
            if (segment.vmaddr + segment.vmsize > 0xFFFFFFFF)
                return Bad("overflow");
        }
    }
    if (m_codeSections.empty())
        return Bad("Resource-only executables are not yet supported");
    std::stable_sort(m_codeSections.begin(), m_codeSections.end(),
                     [](const CodeSection &a, const CodeSection &b) { return a.offset < b.offset; });
    ReduceLength(m_segmentsEnd);
    return Good();
}

bool DisassemblerMacho::ReadSegment(const uint8_t *command, uint32_t commandSize)
{
    if (m_type != MACHO_X86)
        return Bad("LC_SEGMENT not supported");
    if (commandSize < kSegmentCommandSize)
        return Bad("bad LC_SEGMENT");
    if (!AddSegment(Read32(command + 24), Read32(command + 28), Read32(command + 32), Read32(command + 36)))
        return false;
    const Segment &segment = m_segments.back();

    const uint32_t sectionCount = Read32(command + 48);
    if (commandSize < kSegmentCommandSize + kSectionSize * sectionCount)
        return Bad("sections too small");
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t *section = command + kSegmentCommandSize + kSectionSize * i;
        if (IsCodeSection(Read32(section + 56)) &&
            !AddCodeSection(segment, Read32(section + 32), Read32(section + 36), Read32(section + 40)))
            return false;
    }
    return true;
}

bool DisassemblerMacho::ReadSegment64(const uint8_t *command, uint32_t commandSize)
{
    if (m_type != MACHO_X64)
        return Bad("LC_SEGMENT_64 not supported");
    if (commandSize < kSegment64CommandSize)
        return Bad("bad LC_SEGMENT_64");
    // Sectionless segments such as __PAGEZERO would otherwise pin the rebase at 0.
    const uint32_t sectionCount = Read32(command + 64);
    if (sectionCount == 0)
        return true;

    const uint64_t vmsize = Read64(command + 32);
    const uint64_t fileoff = Read64(command + 40);
    const uint64_t filesize = Read64(command + 48);
    if (vmsize >= k4GiB || fileoff >= k4GiB || filesize >= k4GiB)
        return Bad("overflow");
    if (!AddSegment(Read64(command + 24), uint32_t(vmsize), uint32_t(fileoff), uint32_t(filesize)))
        return false;
    const Segment &segment = m_segments.back();

    if (commandSize < kSegment64CommandSize + kSection64Size * sectionCount)
        return Bad("sections too small");
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t *section = command + kSegment64CommandSize + kSection64Size * i;
        if (!IsCodeSection(Read32(section + 64)))
            continue;
        const uint64_t size = Read64(section + 40);
        if (size >= k4GiB)
            return Bad("overflow");
        if (!AddCodeSection(segment, Read64(section + 32), size, Read32(section + 48)))
            return false;
    }
    return true;
}

bool DisassemblerMacho::AddSegment(uint64_t vmaddr, uint32_t vmsize, uint32_t fileoff, uint32_t filesize)
{
    m_segments.push_back(Segment{vmaddr, vmsize, fileoff, filesize});
    m_segmentsEnd = std::max(m_segmentsEnd, uint64_t(fileoff) + filesize);
    if (m_segmentsEnd > length())
        return Bad("segment too large");
    return true;
}

bool DisassemblerMacho::AddCodeSection(const Segment &segment, uint64_t address, uint64_t size,
                                       uint32_t offset)
{
    // Written without a sum that could wrap: address - vmaddr + size <= vmsize.
    if (address < segment.vmaddr || address - segment.vmaddr > segment.vmsize ||
        size > segment.vmsize - (address - segment.vmaddr))
        return Bad("section larger than segment");
    m_codeSections.push_back(CodeSection{uint32_t(size), offset});
    return true;
}

bool DisassemblerMacho::Disassemble(InstructionProgram *program)
{
    if (!ok())
        return false;
    try {
        return DisassembleImage(program);
    } catch (const std::bad_alloc &) {
        return Bad("out of memory");
    }
}

bool DisassemblerMacho::DisassembleImage(InstructionProgram *program)
{
    program->set_image_base(0);

    if (!m_locationsCollected) {
        m_rel32Locations.clear();
        for (const CodeSection &section : m_codeSections) {
            if (!ScanRel32(section))
                return false;
        }
        std::sort(m_rel32Locations.begin(), m_rel32Locations.end());
        m_locationsCollected = true;
    }
    // Each reference and the run of bytes before it, an origin and a run per section.
    if (!program->ReserveInstructions(2 * m_rel32Locations.size() + 3 * m_codeSections.size() + 2))
        return Bad("out of memory");

    // The cursor carries over from one region to the next.
    auto rel32Cursor = m_rel32Locations.cbegin();
    // The sections are sorted by file offset; a cursor over them finds "the first one at or after
    // the position" without picking an empty section at the position forever.
    auto next = m_codeSections.cbegin();
    uint64_t position = 0;
    while (position < length()) {
        while (next != m_codeSections.cend() && next->offset < position)
            ++next;
        if (next == m_codeSections.cend()) {
            if (!EmitFileBytes(position, length(), "code section outside image", program))
                return false;
            break;
        }
        uint64_t regionStart = position;
        if (position < next->offset) {
            if (!EmitFileBytes(position, next->offset, "code section outside image", program))
                return false;
            regionStart = next->offset;
        }
        const uint64_t regionEnd = regionStart + next->size;
        ++next;
        if (!ParseFileRegion(regionStart, regionEnd, program, rel32Cursor))
            return false;
        position = regionEnd;
    }
    program->DefaultAssignIndexes();
    return true;
}

uint32_t DisassemblerMacho::FileOffsetToAddress(uint64_t offset) const
{
    for (const Segment &segment : m_segments) {
        if (segment.fileoff <= offset && offset < uint64_t(segment.fileoff) + segment.filesize)
            return uint32_t(offset - segment.fileoff + segment.vmaddr);
    }
    return 0;
}

bool DisassemblerMacho::IsInSegment(uint32_t address) const
{
    return std::any_of(m_segments.begin(), m_segments.end(), [address](const Segment &segment) {
        return segment.vmaddr <= address && address < segment.vmaddr + segment.vmsize;
    });
}

bool DisassemblerMacho::ScanRel32(const CodeSection &section)
{
    if (!IsRangeInBounds(section.offset, section.size))
        return Bad("code section outside image");
    const uint8_t *bytes = start();
    const uint64_t sectionStart = section.offset;
    const uint64_t sectionEnd = sectionStart + section.size;
    const uint32_t base = FileOffsetToAddress(sectionStart);

    uint64_t p = sectionStart;
    while (p < sectionEnd) {
        // In 32-bit code the RIP-relative forms address absolutely, not relative to the next instruction.
        const Rel32Field candidate = FindRel32Field(bytes + p, size_t(sectionEnd - p), m_type == MACHO_X64);
        if (candidate.offset != 0) {
            const uint64_t field = p + candidate.offset;
            const uint32_t fieldAddress = uint32_t(base + (field - sectionStart));
            const uint32_t target = fieldAddress + 4 + Read32(bytes + field);
            if (IsInSegment(target)) {
                m_rel32Locations.push_back(fieldAddress);
                p = field + 4;
                continue;
            }
        }
        ++p;
    }
    return true;
}

bool DisassemblerMacho::ParseFileRegion(uint64_t regionStart, uint64_t regionEnd, InstructionProgram *program,
                                        std::vector<uint32_t>::const_iterator &rel32Cursor)
{
    if (!IsRangeInBounds(regionStart, regionEnd - regionStart))
        return Bad("code section outside image");
    // Addresses run on linearly from the origin, exactly as assembly will count them.
    const uint32_t startAddress = FileOffsetToAddress(regionStart);
    if (!program->EmitOrigin(startAddress))
        return Bad("out of memory");

    uint64_t r = regionStart;
    while (r < regionEnd) {
        const uint32_t address = uint32_t(startAddress + (r - regionStart));
        while (rel32Cursor != m_rel32Locations.cend() && *rel32Cursor < address)
            ++rel32Cursor;
        if (rel32Cursor != m_rel32Locations.cend() && *rel32Cursor == address) {
            if (!EmitRel32At(r, address, program))
                return false;
            r += 4;
            continue;
        }
        // Plain bytes up to the next reference go out as one run: they encode
        // exactly as single bytes would, at a fraction of the memory.
        uint64_t runEnd = std::min<uint64_t>(regionEnd, r + (uint64_t(1) << 32) - address);
        if (rel32Cursor != m_rel32Locations.cend())
            runEnd = std::min<uint64_t>(runEnd, r + (*rel32Cursor - address));
        if (!program->EmitBytes(start() + r, size_t(runEnd - r)))
            return Bad("out of memory");
        r = runEnd;
    }
    return true;
}

} // namespace vxpatch
