#ifndef VXPATCH_EXECUTABLETYPE_H
#define VXPATCH_EXECUTABLETYPE_H

namespace vxpatch {

// The numbers are stored in ensemble patches as element kinds; never renumber.
enum ExecutableType
{
    UNKNOWN = 0,
    WIN_32_X86 = 1,
    EXE_ELF_32_X86 = 2,
    ELF_32_ARM = 3,
    WIN_32_X64 = 4,
    ELF_64_X64 = 5,
    MACHO_X86 = 6,
    MACHO_X64 = 7,
};

// The enumerator's own name, which is what the patcher prints for a type.
const char *ExecutableTypeName(ExecutableType type);

} // namespace vxpatch

#endif
