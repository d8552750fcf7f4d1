// Applies a diff stream. The first byte chooses the form (bit 0: with header)
// and the old bytes' length (the other bits); old bytes follow, then the patch.
#include "diffstream.h"
#include "streams.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool withHeader = data[0] & 1;
    const size_t oldSize = std::min<size_t>(data[0] >> 1, size - 1);
    const vxpatch::ByteSource oldBytes(data + 1, oldSize);
    vxpatch::ByteSource patch(data + 1 + oldSize, size - 1 - oldSize);
    vxpatch::ByteSink out;
    vxpatch::ApplyDiffStream(oldBytes, patch, out, withHeader);
    return 0;
}
