// Any bytes packed into an LZMA2 block must come back unchanged, with the
// cursor behind the block.
#include "lzmaioout.h"
#include "streams.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vxpatch::ByteSink packed;
    if (!vxpatch::WriteLzma2Block(data, size, packed))
        std::abort();
    vxpatch::ByteSource source(packed.Data(), packed.Length());
    vxpatch::ByteSink unpacked;
    if (!source.ReadLzma2Block(unpacked) || !source.Empty() || unpacked.Length() != size ||
        (size != 0 && std::memcmp(unpacked.Data(), data, size) != 0))
        std::abort();
    return 0;
}
