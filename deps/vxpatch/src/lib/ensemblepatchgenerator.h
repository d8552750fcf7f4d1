#ifndef VXPATCH_ENSEMBLEPATCHGENERATOR_H
#define VXPATCH_ENSEMBLEPATCHGENERATOR_H

#include "executabletype.h"
#include "patchstatus.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vxpatch {

class ByteSink;

// What went into one ensemble patch, for the maker's report.
struct EnsemblePatchSummary
{
    struct Pair
    {
        ExecutableType type = UNKNOWN;
        size_t oldOffset = 0;
        size_t oldLength = 0;
        size_t newOffset = 0;
        size_t newLength = 0;
    };
    std::vector<Pair> pairs;
    size_t oldElements = 0;
    size_t newElements = 0;
    // Size of the body streams (element list, parameter diff, encoded-program
    // diff, final diff) before the body as a whole is compressed.
    size_t streamSizes[4] = {0, 0, 0, 0};
    // The element pairs did not survive verification and the patch fell back to a plain diff.
    bool fellBack = false;
};

// Appends to `patch` an ensemble patch that turns `oldData` into `newData`.
// Executables found in both files are paired by type and size, disassembled
// and encoded; the new programs' labels take the indexes of the matching old
// labels, so that the diff of the encoded programs stays small when code
// moved. The patch is applied in memory before this returns: kPatchOk only
// when that reproduces `newData` exactly. When the element pairs fail that
// check, the patch falls back to the final diff alone (no elements).
PatchStatus GenerateEnsemblePatch(const uint8_t *oldData, size_t oldSize, const uint8_t *newData,
                                  size_t newSize, ByteSink &patch, EnsemblePatchSummary *summary = nullptr);

} // namespace vxpatch

#endif
