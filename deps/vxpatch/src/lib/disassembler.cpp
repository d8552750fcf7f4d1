#include "disassembler.h"

#include "instructionprogram.h"

namespace vxpatch {

Disassembler::Disassembler(const void *start, size_t length)
    : m_length(length), m_start(static_cast<const uint8_t *>(start)), m_end(m_start + length)
{
}

Disassembler::~Disassembler() = default;

ExecutableType Disassembler::type() const
{
    return UNKNOWN;
}

bool Disassembler::Good()
{
    m_failureReason = nullptr;
    return true;
}

bool Disassembler::Bad(const char *reason)
{
    m_failureReason = reason;
    return false;
}

bool Disassembler::IsRangeInBounds(uint64_t offset, uint64_t size) const
{
    return offset <= m_length && size <= m_length - offset;
}

bool Disassembler::IsArrayInBounds(uint64_t offset, uint64_t count, uint64_t elementSize) const
{
    if (elementSize != 0 && count > UINT64_MAX / elementSize)
        return false;
    return IsRangeInBounds(offset, count * elementSize);
}

bool Disassembler::EmitRel32At(uint64_t offset, uint32_t address, InstructionProgram *program)
{
    if (!IsRangeInBounds(offset, 4))
        return Bad("rel32 location outside image");
    Label *label = program->FindOrMakeRel32Label(address + 4 + Read32(start() + offset));
    if (label == nullptr || !program->EmitRel32(label))
        return Bad("out of memory");
    return true;
}

bool Disassembler::EmitFileBytes(uint64_t from, uint64_t to, const char *outsideReason,
                                 InstructionProgram *program)
{
    if (!IsRangeInBounds(from, to - from))
        return Bad(outsideReason);
    if (from < to && !program->EmitBytes(start() + from, size_t(to - from)))
        return Bad("out of memory");
    return true;
}

void Disassembler::ReduceLength(uint64_t length)
{
    if (length < m_length) {
        m_length = size_t(length);
        m_end = m_start + m_length;
    }
}

uint16_t Disassembler::Read16(const uint8_t *p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

uint32_t Disassembler::Read32(const uint8_t *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint64_t Disassembler::Read64(const uint8_t *p)
{
    return uint64_t(Read32(p)) | (uint64_t(Read32(p + 4)) << 32);
}

} // namespace vxpatch
