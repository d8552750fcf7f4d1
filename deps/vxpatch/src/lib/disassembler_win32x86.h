#ifndef VXPATCH_DISASSEMBLER_WIN32X86_H
#define VXPATCH_DISASSEMBLER_WIN32X86_H

#include "disassembler_win32.h"

namespace vxpatch {

// PE32 images (optional header magic 0x10B) with HIGHLOW base relocations.
class DisassemblerWin32X86 : public DisassemblerWin32
{
public:
    DisassemblerWin32X86(const void *start, size_t length);

    ExecutableType type() const override { return WIN_32_X86; }
};

} // namespace vxpatch

#endif
