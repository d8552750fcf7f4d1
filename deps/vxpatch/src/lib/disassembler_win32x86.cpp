#include "disassembler_win32x86.h"

namespace vxpatch {

DisassemblerWin32X86::DisassemblerWin32X86(const void *start, size_t length)
    : DisassemblerWin32(start, length,
                        Variant{0x10B, "64 bit executables are not supported by this disassembler", 3, false})
{
}

} // namespace vxpatch
