// A diff generated between any two byte strings must rebuild the second from
// the first, in every method and form, and the reader must consume all of it.
// The first byte picks the method and form, the next two where old ends.
#include "diffstream.h"
#include "diffstreamgenerator.h"
#include "streams.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const int method = data[0] % 3;
    const bool header = (data[0] & 0x80) != 0;
    const size_t rest = size - 3;
    const size_t oldSize = rest == 0 ? 0 : (size_t(data[1]) << 8 | data[2]) % (rest + 1);
    const uint8_t *oldData = data + 3;
    const uint8_t *newData = oldData + oldSize;
    const size_t newSize = rest - oldSize;

    vxpatch::ByteSink diff;
    if (!vxpatch::GenerateDiffStream(oldData, oldSize, newData, newSize, method, header, diff))
        std::abort();
    vxpatch::ByteSource oldSource(oldData, oldSize);
    vxpatch::ByteSource patch(diff.Data(), diff.Length());
    vxpatch::ByteSink rebuilt;
    if (!vxpatch::ApplyDiffStream(oldSource, patch, rebuilt, header) || !patch.Empty() ||
        rebuilt.Length() != newSize || (newSize != 0 && std::memcmp(rebuilt.Data(), newData, newSize) != 0))
        std::abort();
    return 0;
}
