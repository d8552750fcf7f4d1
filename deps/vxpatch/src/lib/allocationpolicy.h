#ifndef VXPATCH_ALLOCATIONPOLICY_H
#define VXPATCH_ALLOCATIONPOLICY_H

namespace vxpatch {

// Patching holds a few buffers of about the file's size, one after another.
// Once such a buffer is freed, glibc raises its threshold for serving
// allocations from their own mappings to that size, so the next buffers come
// from the heap, where freed memory mostly stays with the process: applying
// a patch then peaked a third above what it ever held at once. Fixing the
// threshold keeps every large buffer mapped and returned when freed. A
// process-wide setting: programs that patch call this once at start.
void KeepLargeAllocationsMapped();

} // namespace vxpatch

#endif
