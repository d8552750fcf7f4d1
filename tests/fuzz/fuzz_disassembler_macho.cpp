#include "disassembler_macho.h"
#include "fuzzdisassemble.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return FuzzDisassembler<vxpatch::DisassemblerMacho>(data, size);
}
