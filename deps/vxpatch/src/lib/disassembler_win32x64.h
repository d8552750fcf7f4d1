#ifndef VXPATCH_DISASSEMBLER_WIN32X64_H
#define VXPATCH_DISASSEMBLER_WIN32X64_H

#include "disassembler_win32.h"

namespace vxpatch {

// PE32+ images (optional header magic 0x20B) with DIR64 base relocations. The
// scan also takes RIP-relative data references (indirect call / jmp, REX.W mov / lea).
class DisassemblerWin32X64 : public DisassemblerWin32
{
public:
    DisassemblerWin32X64(const void *start, size_t length);

    ExecutableType type() const override { return WIN_32_X64; }
};

} // namespace vxpatch

#endif
