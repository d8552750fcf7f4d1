#include "allocationpolicy.h"

#include <malloc.h>

namespace vxpatch {

void KeepLargeAllocationsMapped()
{
    // glibc's own starting value; setting it turns the raising off.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
}

} // namespace vxpatch
