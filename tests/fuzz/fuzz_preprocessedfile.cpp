// Unpacks a preprocessed LZMA2 file held in memory (both directives).
#include "preprocessedfile.h"
#include "streams.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vxpatch::ByteSink out;
    vxpatch::DecompressPreprocessedData(data, size, out);
    return 0;
}
