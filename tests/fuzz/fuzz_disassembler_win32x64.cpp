#include "disassembler_win32x64.h"
#include "fuzzdisassemble.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return FuzzDisassembler<vxpatch::DisassemblerWin32X64>(data, size);
}
