#include "disassemblerelf32arm.h"
#include "fuzzdisassemble.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return FuzzDisassembler<vxpatch::DisassemblerElf32ARM>(data, size);
}
