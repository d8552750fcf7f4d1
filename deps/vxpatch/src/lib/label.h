#ifndef VXPATCH_LABEL_H
#define VXPATCH_LABEL_H

#include <cstdint>

namespace vxpatch {

// An address that references point to. Owned by its InstructionProgram.
struct Label
{
    uint32_t rva = 0;
    int32_t index = -1; // -1 until DefaultAssignIndexes
    int32_t count = 0;  // references made through this label
};

} // namespace vxpatch

#endif
