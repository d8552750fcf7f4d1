#include "patchstatus.h"

namespace vxpatch {

const char *PatchStatusName(int status)
{
    switch (status) {
    case kPatchOk:
        return "kPatchOk";
    case kPatchFailed:
        return "kPatchFailed";
    case kPatchUnreadable:
        return "kPatchUnreadable";
    case kFileIoError:
        return "kFileIoError";
    case kNotAPatch:
        return "kNotAPatch";
    case kWrongVersion:
        return "kWrongVersion";
    case kCorruptPatch:
        return "kCorruptPatch";
    case kChecksumMismatch:
        return "kChecksumMismatch";
    case kBadElement:
        return "kBadElement";
    case kStreamError:
        return "kStreamError";
    case kStreamNotConsumed:
        return "kStreamNotConsumed";
    case kBadEncodedProgram:
        return "kBadEncodedProgram";
    case kNoDisassembler:
        return "kNoDisassembler";
    case kDisassemblyFailed:
        return "kDisassemblyFailed";
    case kAssemblyFailed:
        return "kAssemblyFailed";
    case kTrimLabelsFailed:
        return "kTrimLabelsFailed";
    }
    return "unknown";
}

} // namespace vxpatch
