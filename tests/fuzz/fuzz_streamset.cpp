// Parses a serialized stream set and walks every nested set it holds.
#include "streams.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vxpatch::ByteSourceSet set;
    if (!set.Init(data, size))
        return 0;
    vxpatch::ByteSourceSet inner;
    while (set.ReadSet(inner)) {
        for (size_t i = 0; i < vxpatch::ByteSourceSet::kMaxStreams; ++i) {
            vxpatch::ByteSource &stream = inner.stream(i);
            uint32_t value;
            while (stream.ReadVarint32(value)) {
            }
        }
    }
    return 0;
}
