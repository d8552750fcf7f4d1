#include "disassemblerelf32x86.h"
#include "fuzzdisassemble.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return FuzzDisassembler<vxpatch::DisassemblerElf32X86>(data, size);
}
