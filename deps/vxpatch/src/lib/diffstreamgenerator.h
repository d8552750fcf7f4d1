#ifndef VXPATCH_DIFFSTREAMGENERATOR_H
#define VXPATCH_DIFFSTREAMGENERATOR_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

class ByteSink;

// How the control, diff and extra blocks of a diff stream are stored.
enum DiffStreamMethod
{
    kDiffMethodPlain = 0,       // three lengths, then the raw blocks
    kDiffMethodLzma2Blocks = 1, // one LZMA2 block per block
    kDiffMethodLzma2Whole = 2,  // one LZMA2 block around the plain layout
};

// Appends to `out` a diff stream that rebuilds `newData` from `oldData`, in the
// form ApplyDiffStream reads: with the "VXDIFF10" magic and the checksum of the
// new bytes when `withHeader` is set. Similar inputs give a diff whose blocks are
// mostly zero bytes, so that they compress to a fraction of the new bytes.
//
// Both inputs must be below 2 GiB (the format's positions are signed 32-bit).
// Returns false, with a line in the patcher log, on a bad method, an input too
// large or an allocation failure; `out` then holds a partial stream.
//
// Memory besides the inputs: a suffix array of 4 bytes per old byte while
// matching; afterwards the output, one uncompressed block of at most the new
// size and, for methods 1 and 2, the LZMA2 encoder.
bool GenerateDiffStream(const uint8_t *oldData, size_t oldSize, const uint8_t *newData, size_t newSize,
                        int method, bool withHeader, ByteSink &out);

} // namespace vxpatch

#endif
