#include "diffstream.h"

#include "logmessage.h"
#include "streams.h"

#include <algorithm>
#include <cstring>

namespace vxpatch {

namespace {

const char kMagic[8] = {'V', 'X', 'D', 'I', 'F', 'F', '1', '0'};

// The control, diff and extra blocks laid out one after the other behind their lengths.
bool splitPlainBlocks(ByteSource &source, ByteSource &control, ByteSource &diff, ByteSource &extra)
{
    uint32_t controlLength;
    uint32_t diffLength;
    uint32_t extraLength;
    if (!source.ReadVarint32(controlLength) || !source.ReadVarint32(diffLength) ||
        !source.ReadVarint32(extraLength))
        return false;
    if (uint64_t(controlLength) + diffLength + extraLength > source.Remaining())
        return false;
    return source.ShareSubstream(controlLength, control) && source.ShareSubstream(diffLength, diff) &&
           source.ShareSubstream(extraLength, extra);
}

} // namespace

bool ApplyDiffStream(const ByteSource &oldBytes, ByteSource &patch, ByteSink &out, bool withHeader)
{
    uint32_t expectedChecksum = 0;
    if (withHeader) {
        char magic[sizeof kMagic];
        if (!patch.Read(magic, sizeof magic))
            return false;
        if (std::memcmp(magic, kMagic, sizeof kMagic) != 0) {
            LogError("Corrupt patch header");
            return false;
        }
        if (!patch.ReadVarint32(expectedChecksum)) {
            LogError("Could not read crc");
            return false;
        }
    }
    uint8_t method;
    if (!patch.Read(&method, 1))
        return false;
    if (method > 2) {
        LogError("Invalid compression method");
        return false;
    }
    uint32_t newSize;
    if (!patch.ReadVarint32(newSize))
        return false;

    ByteSource control;
    ByteSource diff;
    ByteSource extra;
    // Decoded blocks live here while the diff is applied.
    ByteSink controlBytes;
    ByteSink diffBytes;
    ByteSink extraBytes;
    ByteSink plainBytes;
    if (method == 0) {
        if (!splitPlainBlocks(patch, control, diff, extra))
            return false;
    } else if (method == 1) {
        if (!patch.ReadLzma2Block(controlBytes) || !patch.ReadLzma2Block(diffBytes) ||
            !patch.ReadLzma2Block(extraBytes))
            return false;
        control.Init(controlBytes);
        diff.Init(diffBytes);
        extra.Init(extraBytes);
    } else {
        if (!patch.ReadLzma2Block(plainBytes))
            return false;
        ByteSource plain(plainBytes.Data(), plainBytes.Length());
        if (!splitPlainBlocks(plain, control, diff, extra))
            return false;
    }

    // Every new byte comes from the diff or the extra block, so a larger size
    // cannot be met; reserving it would only let a forged size allocate memory.
    const uint64_t reachable = uint64_t(diff.Remaining()) + extra.Remaining();
    if (!out.Reserve(size_t(std::min<uint64_t>(newSize, reachable))))
        return false;

    const uint8_t *const oldData = oldBytes.Position();
    const uint64_t oldSize = oldBytes.Remaining();
    const size_t base = out.Length();
    uint64_t produced = 0;
    int32_t oldPosition = 0;
    while (produced < newSize) {
        int32_t d;
        int32_t e;
        int32_t s;
        if (!control.ReadVarint32Signed(d) || !control.ReadVarint32Signed(e) ||
            !control.ReadVarint32Signed(s)) {
            LogError("Corrupt patch reading control");
            return false;
        }
        if (d < 0 || uint64_t(d) > diff.Remaining() || produced + uint64_t(d) > newSize)
            return false;
        if (oldPosition < 0 || uint64_t(oldPosition) + uint64_t(d) > oldSize)
            return false;
        if (!out.Write(diff.Position(), size_t(d)))
            return false;
        uint8_t *const added = out.Data() + base + produced;
        const uint8_t *const from = oldData + oldPosition;
        for (int32_t i = 0; i < d; ++i)
            added[i] = uint8_t(added[i] + from[i]);
        produced += uint64_t(d);

        if (int64_t(produced) + e > int64_t(newSize)) {
            LogError("Corrupt patch");
            return false;
        }
        if (e < 0 || uint64_t(e) > extra.Remaining() || !out.Write(extra.Position(), size_t(e)))
            return false;
        produced += uint64_t(e);
        diff.Skip(size_t(d));
        extra.Skip(size_t(e));
        oldPosition = int32_t(uint32_t(oldPosition) + uint32_t(d) + uint32_t(s));
    }

    if (withHeader && CalculateChecksum(out.Data() + base, size_t(produced)) != expectedChecksum) {
        LogError("crc mismatch");
        return false;
    }
    return true;
}

} // namespace vxpatch
