#ifndef VXPATCH_DISASSEMBLER_H
#define VXPATCH_DISASSEMBLER_H

#include "executabletype.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace vxpatch {

class InstructionProgram;

// Reads one executable image and turns it into an instruction program. The
// image is borrowed: it must outlive the disassembler and the program, whose
// byte instructions point into it.
//
// The result is part of the patch format: the generator and the applier must
// get exactly the same program from the same bytes, so subclasses follow their
// walks to the letter.
class Disassembler
{
public:
    Disassembler(const void *start, size_t length);
    virtual ~Disassembler();

    Disassembler(const Disassembler &) = delete;
    Disassembler &operator=(const Disassembler &) = delete;

    virtual ExecutableType type() const;
    // Checks the format and fills the header fields; may shorten length().
    // On failure failureReason() tells why.
    virtual bool ReadHeader() = 0;
    // False at once when ReadHeader() failed or was not run.
    virtual bool Disassemble(InstructionProgram *program) = 0;

    // "uninitialized" before ReadHeader(), nullptr after it succeeded.
    const char *failureReason() const { return m_failureReason; }
    size_t length() const { return m_length; }
    const uint8_t *start() const { return m_start; }
    const uint8_t *end() const { return m_end; }

protected:
    bool Good();
    bool Bad(const char *reason);
    bool ok() const { return m_failureReason == nullptr; }

    // Where the rel32 field of an x86 instruction starting at `p` lies, with
    // `available` bytes from `p` on: call or jmp rel32 (E8, E9), or jcc rel32
    // other than jp and jnp (0F 80..8F but 8A, 8B); with `ripRelative` also
    // call or jmp [rip+disp32] (FF 15, FF 25) and REX.W mov or lea reg,
    // [rip+disp32] (48/49 8B/8D, ModRM & C7 = 05). The first bytes differ, so
    // at most one form matches. offset 0: no field.
    struct Rel32Field
    {
        uint8_t offset = 0;
        bool ripRelative = false;
    };
    // Inline: the scans call it for every byte of the code.
    static Rel32Field FindRel32Field(const uint8_t *p, size_t available, bool ripRelative);

    // Whether [offset, offset + size) lies inside the image; overflow-safe.
    bool IsRangeInBounds(uint64_t offset, uint64_t size) const;
    // Whether count elements of elementSize bytes from offset lie inside the image.
    bool IsArrayInBounds(uint64_t offset, uint64_t count, uint64_t elementSize) const;

    const uint8_t *FileOffsetToPointer(size_t offset) const { return m_start + offset; }
    size_t PointerToFileOffset(const uint8_t *pointer) const { return size_t(pointer - m_start); }

    // Emits the rel32 reference whose 4 bytes stand at file offset `offset`,
    // which the image maps to `address`; its target is relative to the next
    // instruction.
    bool EmitRel32At(uint64_t offset, uint32_t address, InstructionProgram *program);

    // Emits the bytes at file offsets [from, to) as one run; fails with
    // `outsideReason` when they do not lie inside the image.
    bool EmitFileBytes(uint64_t from, uint64_t to, const char *outsideReason, InstructionProgram *program);
    // Only ever shortens the image: the data beyond the format's own extent is not its part.
    void ReduceLength(uint64_t length);

    // Little-endian loads; the caller has checked the bounds.
    static uint16_t Read16(const uint8_t *p);
    static uint32_t Read32(const uint8_t *p);
    static uint64_t Read64(const uint8_t *p);

private:
    const char *m_failureReason = "uninitialized";
    size_t m_length;
    const uint8_t *m_start;
    const uint8_t *m_end;
};

namespace detail {

// The first bytes of the instructions FindRel32Field looks for.
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

inline constexpr FirstByteTable kMayStartReference;

} // namespace detail

inline Disassembler::Rel32Field Disassembler::FindRel32Field(const uint8_t *p, size_t available,
                                                             bool ripRelative)
{
    Rel32Field field;
    if (available == 0 || !detail::kMayStartReference[p[0]])
        return field;
    if (available >= 5 && (p[0] & 0xFE) == 0xE8) {
        field.offset = 1;
    } else if (available >= 6 && p[0] == 0x0F) {
        if (p[1] >= 0x80 && p[1] <= 0x8F && p[1] != 0x8A && p[1] != 0x8B)
            field.offset = 2;
    } else if (ripRelative && available >= 6 && p[0] == 0xFF) {
        if (p[1] == 0x15 || p[1] == 0x25)
            field = Rel32Field{2, true};
    } else if (ripRelative && available >= 7 && (p[0] == 0x48 || p[0] == 0x49)) {
        if ((p[1] == 0x8B || p[1] == 0x8D) && (p[2] & 0xC7) == 0x05)
            field = Rel32Field{3, true};
    }
    return field;
}

} // namespace vxpatch

#endif
