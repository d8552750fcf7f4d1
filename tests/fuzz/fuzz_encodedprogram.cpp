// Reads an encoded program from a stream set and assembles it.
#include "encodedprogram.h"
#include "streams.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vxpatch::ByteSourceSet set;
    if (!set.Init(data, size))
        return 0;
    std::unique_ptr<vxpatch::EncodedProgram> program;
    if (vxpatch::ReadEncodedProgram(set, program) != vxpatch::kPatchOk)
        return 0;
    vxpatch::ByteSink out;
    program->Assemble(out);
    return 0;
}
