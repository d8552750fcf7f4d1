#include "disassemblerelf64x64.h"

#include "instructionprogram.h"

namespace vxpatch {

namespace {

// The first bytes of the instructions the scan looks for: E8, E9, FF, 0F, 48, 49.
struct FirstByteTable
{
    bool entries[256] = {};
    constexpr FirstByteTable()
    {
        for (int byte : {0xE8, 0xE9, 0xFF, 0x0F, 0x48, 0x49})
            entries[byte] = true;
    }
    constexpr bool operator[](uint8_t byte) const { return entries[byte]; }
};

constexpr FirstByteTable kMayStartReference;

} // namespace

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
        if (!kMayStartReference[*p]) {
            ++p;
            continue;
        }
        // Later matches override earlier ones.
        const uint8_t *field = nullptr;
        if (end - p >= 5 && (p[0] & 0xFE) == 0xE8)
            field = p + 1;
        if (end - p >= 6) {
            if (p[0] == 0xFF && (p[1] == 0x15 || p[1] == 0x25))
                field = p + 2;
            else if (p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && p[1] != 0x8A && p[1] != 0x8B)
                field = p + 2;
        }
        if (end - p >= 7 && (p[0] == 0x48 || p[0] == 0x49) && (p[1] == 0x8B || p[1] == 0x8D) &&
            (p[2] & 0xC7) == 0x05)
            field = p + 3;
        if (field != nullptr) {
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
