#ifndef VXPATCH_DIFFSTREAM_H
#define VXPATCH_DIFFSTREAM_H

namespace vxpatch {

class ByteSink;
class ByteSource;

// Rebuilds new bytes from `oldBytes` (its remaining bytes) by the diff stream at
// the patch cursor and appends them to `out`. With `withHeader` the stream starts
// with "VXDIFF10" and the checksum of the new bytes, which is verified. On
// success the patch cursor stands behind the stream's last block; on failure a
// line goes to the patcher log (for most faults) and `out` holds a partial result.
bool ApplyDiffStream(const ByteSource &oldBytes, ByteSource &patch, ByteSink &out, bool withHeader);

} // namespace vxpatch

#endif
