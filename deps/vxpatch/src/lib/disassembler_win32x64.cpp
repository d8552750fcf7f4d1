#include "disassembler_win32x64.h"

namespace vxpatch {

DisassemblerWin32X64::DisassemblerWin32X64(const void *start, size_t length)
    : DisassemblerWin32(start, length,
                        Variant{0x20B, "32 bit executables are not supported by this disassembler", 10, true})
{
}

} // namespace vxpatch
