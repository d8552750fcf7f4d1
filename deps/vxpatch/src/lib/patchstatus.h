#ifndef VXPATCH_PATCHSTATUS_H
#define VXPATCH_PATCHSTATUS_H

namespace vxpatch {

// Result codes of the patcher. The numbers are the interface with the
// application's patch task and the exit codes of `vxpatch apply`.
enum PatchStatus
{
    kPatchOk = 1,
    kPatchFailed = 2,
    kPatchUnreadable = 3,
    kFileIoError = 4,
    kNotAPatch = 5,
    kWrongVersion = 6,
    kCorruptPatch = 7,
    kChecksumMismatch = 8,
    kBadElement = 12,
    kStreamError = 20,
    kStreamNotConsumed = 21,
    kBadEncodedProgram = 23,
    kNoDisassembler = 24,
    kDisassemblyFailed = 25,
    kAssemblyFailed = 26,
    kTrimLabelsFailed = 28,
};

// The enumerator's name ("kCorruptPatch"), or "unknown" for another number.
const char *PatchStatusName(int status);

} // namespace vxpatch

#endif
