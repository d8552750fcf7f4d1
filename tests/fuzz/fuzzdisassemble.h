#ifndef VX_TESTS_FUZZ_FUZZDISASSEMBLE_H
#define VX_TESTS_FUZZ_FUZZDISASSEMBLE_H

#include "disassembler.h"
#include "encodedprogram.h"
#include "instructionprogram.h"
#include "streams.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <sanitizer/asan_interface.h>

// Runs one disassembler class over the input: header check, disassembly,
// encoding and assembly. Once the header check has fixed the image's length,
// the bytes beyond it are poisoned, so that a read outside the image proper
// is reported even though it stays inside the input.
template <typename DisassemblerClass> int FuzzDisassembler(const uint8_t *data, size_t size)
{
    std::unique_ptr<uint8_t[]> image(new uint8_t[size ? size : 1]);
    if (size != 0)
        std::memcpy(image.get(), data, size);

    DisassemblerClass disassembler(image.get(), size);
    if (disassembler.ReadHeader()) {
        ASAN_POISON_MEMORY_REGION(image.get() + disassembler.length(), size - disassembler.length());
        vxpatch::InstructionProgram program(disassembler.type());
        if (disassembler.Disassemble(&program)) {
            std::unique_ptr<vxpatch::EncodedProgram> encoded = program.Encode();
            vxpatch::ByteSink assembled;
            if (encoded)
                encoded->Assemble(assembled);
        }
        ASAN_UNPOISON_MEMORY_REGION(image.get(), size);
    }
    return 0;
}

#endif
