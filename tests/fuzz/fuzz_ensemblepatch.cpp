#include "ensembleapplier.h"
#include "lzmaioout.h"
#include "streams.h"

#include <cstdint>
#include <cstring>

// Input: a 16-bit little-endian length n, n bytes of old file, then the
// uncompressed patch body (a serialized stream set). The target builds the
// header with the old file's checksum and compresses the body, so that the
// fuzzer spends its time on the element list, the diffs and the programs
// rather than on guessing checksums and LZMA2 streams. An input whose first
// two bytes are FF FF is instead applied as a whole patch to an old file of
// eight bytes, for the header rules.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t oldSize = size_t(data[0]) | (size_t(data[1]) << 8);
    vxpatch::ByteSink out;
    if (oldSize == 0xFFFF) {
        static const uint8_t old[8] = {'o', 'l', 'd', ' ', 'f', 'i', 'l', 'e'};
        vxpatch::ApplyEnsemblePatchToBuffer(old, sizeof old, data + 2, size - 2, out);
        return 0;
    }
    if (oldSize > size - 2)
        return 0;
    const uint8_t *old = data + 2;
    const uint8_t *body = old + oldSize;
    const size_t bodySize = size - 2 - oldSize;

    vxpatch::ByteSink patch;
    patch.WriteVarint32(vxpatch::EnsemblePatchHeader::kMagic);
    patch.WriteVarint32(vxpatch::EnsemblePatchHeader::kVersion);
    patch.WriteVarint32(vxpatch::CalculateChecksum(old, oldSize));
    patch.WriteVarint32(0);
    patch.WriteSizeVarint32(oldSize * 2);
    if (!vxpatch::WriteLzma2Block(body, bodySize, patch))
        return 0;
    // A copy of exactly the old bytes, so that reads past the old file are caught.
    uint8_t *copy = new uint8_t[oldSize ? oldSize : 1];
    std::memcpy(copy, old, oldSize);
    vxpatch::ApplyEnsemblePatchToBuffer(copy, oldSize, patch.Data(), patch.Length(), out);
    delete[] copy;
    return 0;
}
