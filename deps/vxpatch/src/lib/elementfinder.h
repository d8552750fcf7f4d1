#ifndef VXPATCH_ELEMENTFINDER_H
#define VXPATCH_ELEMENTFINDER_H

#include "executabletype.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vxpatch {

// One executable inside a larger file.
struct Element
{
    ExecutableType type = UNKNOWN;
    size_t offset = 0;
    size_t length = 0;
};

// The executables inside `data`, in file order and not overlapping. An element
// may start at any offset; it is reported only when the bytes from there, cut
// to the length its header claims, are detected and disassembled exactly as
// the patch applier will do it.
std::vector<Element> FindElements(const uint8_t *data, size_t size);

} // namespace vxpatch

#endif
