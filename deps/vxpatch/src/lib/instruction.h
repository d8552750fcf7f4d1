#ifndef VXPATCH_INSTRUCTION_H
#define VXPATCH_INSTRUCTION_H

#include <cstdint>

namespace vxpatch {

struct Label;

enum InstructionKind : uint8_t
{
    ORIGIN = 0,
    MAKE_PE_RELOCATION_TABLE = 1,
    MAKE_ELF_RELOCATION_TABLE = 2,
    BYTE = 3,
    REL32 = 4,
    ABS32 = 5,
    REL32ARM = 6,
    MAKE_ELF_ARM_RELOCATION_TABLE = 7,
    MULTIPLEBYTES = 8,
};

// One step of an instruction program. Which fields matter depends on the kind:
// ORIGIN: value = rva; BYTE: value = the byte; REL32/ABS32: label;
// REL32ARM: label, armOp, bytes (the instruction in the image) and opSize (2 or 4);
// MULTIPLEBYTES: bytes and length. Bytes point into the image, which must
// outlive the program. Packed into 24 bytes: a program holds one per reference.
struct Instruction
{
    InstructionKind kind = ORIGIN;
    uint8_t opSize = 0;
    uint16_t armOp = 0;
    union {
        uint32_t value = 0;
        uint32_t length;
    };
    Label *label = nullptr;
    const uint8_t *bytes = nullptr;
};

static_assert(sizeof(Instruction) <= 24, "an instruction should stay small");

} // namespace vxpatch

#endif
