#include "disassemblerelf32arm.h"

#include "instructionprogram.h"

namespace vxpatch {

namespace {

constexpr uint32_t R_ARM_RELATIVE = 23;

// The low `bits` bits of value as a two's complement number.
int32_t SignExtend(uint32_t value, int bits)
{
    const uint32_t sign = 1u << (bits - 1);
    value &= (sign << 1) - 1;
    return int32_t((value ^ sign) - sign);
}

} // namespace

bool DisassemblerElf32ARM::TypedRVAARM::ComputeTarget(const uint8_t *p)
{
    m_instruction = p;
    switch (m_form) {
    case kThumbConditional16: {
        const uint16_t h = Read16(p);
        m_op = uint16_t(0x1000 | (h >> 8));
        setRelativeTarget(SignExtend((h & 0xFFu) << 1, 9) + 4);
        return true;
    }
    case kThumbBranch16: {
        const uint16_t h = Read16(p);
        m_op = uint16_t(0x2000 | (h >> 11));
        setRelativeTarget(SignExtend((h & 0x7FFu) << 1, 12) + 4);
        return true;
    }
    case kArmBranch: {
        const uint32_t w = Read32(p);
        m_op = uint16_t(0x3000 | (w >> 24));
        setRelativeTarget(SignExtend((w & 0xFFFFFFu) << 2, 26) + 8);
        return true;
    }
    case kThumbBranchLink32: {
        const uint32_t x = (uint32_t(Read16(p)) << 16) | Read16(p + 2);
        const uint32_t s = (x >> 26) & 1;
        const uint32_t j1 = (x >> 13) & 1;
        const uint32_t j2 = (x >> 11) & 1;
        const uint32_t imm10 = (x >> 16) & 0x3FF;
        const uint32_t imm11 = x & 0x7FF;
        const uint32_t offset = (s ? 0xFF000000u : 0u) + ((~(j1 ^ s) & 1) << 23) + ((~(j2 ^ s) & 1) << 22) +
                                (imm10 << 12) + (imm11 << 1);
        // BLX switches to ARM, whose targets are word aligned from the aligned pc.
        const uint32_t k = ((x >> 14) & 1) && !((x >> 12) & 1) && (rva() % 4) != 0 ? 2 : 4;
        m_op = uint16_t(0x4000 | (k << 8) | ((x >> 27) << 3) | (((x >> 14) & 3) << 1) | ((x >> 12) & 1));
        setRelativeTarget(int32_t(offset + k));
        return true;
    }
    case kThumbConditional32: {
        const uint16_t h1 = Read16(p);
        const uint32_t x = (uint32_t(h1) << 16) | Read16(p + 2);
        // Offset bit 19 takes J1 and bit 18 J2; the assembler pairs them the same way.
        const uint32_t offset = (((x >> 26) & 1) << 20) | (((x >> 13) & 1) << 19) | (((x >> 11) & 1) << 18) |
                                (((x >> 16) & 0x3F) << 12) | ((x & 0x7FF) << 1);
        m_op = uint16_t(0x5000 | ((h1 >> 6) & 0xF));
        setRelativeTarget(SignExtend(offset, 21) + 4);
        return true;
    }
    }
    return false;
}

bool DisassemblerElf32ARM::TypedRVAARM::EmitInstruction(InstructionProgram *program, uint32_t targetRva)
{
    Label *label = program->FindOrMakeRel32Label(targetRva);
    return label != nullptr && program->EmitRel32Arm(m_op, label, m_instruction, OpSize());
}

uint16_t DisassemblerElf32ARM::TypedRVAARM::OpSize() const
{
    switch (m_form) {
    case kThumbConditional16:
    case kThumbBranch16:
        return 2;
    case kArmBranch:
    case kThumbBranchLink32:
    case kThumbConditional32:
        return 4;
    }
    return 0xFFFF;
}

bool DisassemblerElf32ARM::RelocationTarget(const RelocationEntry &entry, uint32_t *rva) const
{
    if (entry.info != R_ARM_RELATIVE)
        return false;
    *rva = uint32_t(entry.offset);
    return true;
}

bool DisassemblerElf32ARM::EmitRelocationSection(const Section &section, InstructionProgram *program)
{
    const uint8_t *begin = nullptr;
    const uint8_t *end = nullptr;
    if (!SectionBytes(section, &begin, &end))
        return false;
    const std::vector<uint32_t> &locations = abs32Locations();
    const size_t k = locations.size();
    if (k == 0)
        return true;

    const uint64_t count = RelocationCount(section);
    uint64_t first = 0;
    while (first < count && ReadRelocation(begin + first * 8).offset != locations[0]) {
        if (!program->EmitBytes(begin + first * 8, 8))
            return false;
        ++first;
    }
    if (first == count)
        return true;

    uint64_t position = first;
    if (count >= k) {
        size_t matched = 0;
        // Entries from the first match up to a mismatch are dropped, the mismatching one included;
        // the final diff restores them.
        while (position < count) {
            const RelocationEntry entry = ReadRelocation(begin + position * 8);
            ++position;
            if (entry.info != R_ARM_RELATIVE || entry.offset != locations[matched])
                break;
            if (++matched == k) {
                if (!program->EmitElfArmRelocs())
                    return false;
                break;
            }
        }
    }
    const uint8_t *rest = begin + position * 8;
    return rest == end || program->EmitBytes(rest, size_t(end - rest));
}

void DisassemblerElf32ARM::ClearRel32Locations()
{
    m_rel32Locations.clear();
    m_locationStore.clear();
}

bool DisassemblerElf32ARM::ScanRel32(const Section &section)
{
    const uint8_t *begin = nullptr;
    const uint8_t *end = nullptr;
    if (!SectionBytes(section, &begin, &end))
        return false;
    const uint8_t *p = begin;
    // Whether p may start a 4-byte ARM instruction; Thumb code only keeps halfword alignment.
    bool wordPosition = true;
    while (p < end) {
        int form = -1;
        if (end - p >= 3) {
            const uint16_t h = Read16(p);
            if ((h & 0xF000) == 0xD000)
                form = kThumbConditional16;
            else if ((h & 0xF800) == 0xE000)
                form = kThumbBranch16;
        }
        if (form < 0 && end - p >= 5) {
            const uint16_t h1 = Read16(p);
            const uint16_t h2 = Read16(p + 2);
            if (h1 >= 0xF000 && h1 < 0xF800 && (h2 & 0x8000))
                form = (h2 & 0x5000) ? kThumbBranchLink32 : kThumbConditional32;
            else if (wordPosition && ((((uint32_t(h2) << 16) | h1) >> 25) & 7) == 5)
                form = kArmBranch;
        }
        if (form >= 0) {
            TypedRVAARM location(form, SectionRva(section, p, begin));
            if (location.ComputeTarget(p) && IsInCodeSection(location.targetRva())) {
                p += location.OpSize();
                m_locationStore.push_back(location);
                m_rel32Locations.push_back(&m_locationStore.back());
                wordPosition = true;
                continue;
            }
        }
        p += 2;
        wordPosition = !wordPosition;
    }
    return true;
}

} // namespace vxpatch
