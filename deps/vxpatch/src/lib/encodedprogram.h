#ifndef VXPATCH_ENCODEDPROGRAM_H
#define VXPATCH_ENCODEDPROGRAM_H

#include "executabletype.h"
#include "patchstatus.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vxpatch {

class ByteSink;
class ByteSinkSet;
class ByteSourceSet;

// An executable split into arrays that diff and compress well: operations,
// origins, copied bytes, label addresses and label indexes. Assemble turns it
// back into the executable's bytes, regenerating its relocation table.
class EncodedProgram
{
public:
    // Values stored in `ops`; ARM branch ops are their compressed op (0x1000..0x5FFF).
    enum Op : uint32_t
    {
        ORIGIN = 0,
        COPY = 1,
        COPY1 = 2,
        REL32 = 3,
        ABS32 = 4,
        MAKE_PE_RELOCATION_TABLE = 5,
        MAKE_ELF_RELOCATION_TABLE = 6,
        MAKE_ELF_ARM_RELOCATION_TABLE = 7,
        MAKE_PE64_RELOCATION_TABLE = 8,
    };

    uint64_t image_base() const { return m_imageBase; }
    void set_image_base(uint64_t base) { m_imageBase = base; }

    // Defining index i grows the table to i + 1 entries; EndLabels fills the holes
    // with the entry before (0 at the start).
    bool DefineAbs32Label(int32_t index, uint32_t rva);
    bool DefineRel32Label(int32_t index, uint32_t rva);
    void EndLabels();

    // Room for a program of known size, so that the arrays never grow by copying.
    bool Reserve(size_t ops, size_t origins, size_t copyBytes, size_t abs32, size_t rel32);

    bool AddOrigin(uint32_t rva);
    // Consecutive copies merge into one copy op.
    bool AddCopy(size_t n, const uint8_t *bytes);
    bool AddRel32(int32_t index);
    bool AddAbs32(int32_t index);
    bool AddRel32Arm(uint16_t op, int32_t index);
    // Op 5 (32-bit entries) for WIN_32_X86, op 8 for every other kind.
    bool AddPeMakeRelocs(ExecutableType kind);
    bool AddElfMakeRelocs();
    bool AddElfArmMakeRelocs();

    // kPatchOk, or kStreamError when a write fails.
    PatchStatus WriteTo(ByteSinkSet &streams) const;
    // Appends the executable's bytes to `out`: kPatchOk, or kAssemblyFailed.
    PatchStatus Assemble(ByteSink &out);

    const std::vector<uint32_t> &abs32_rvas() const { return m_abs32Rvas; }
    const std::vector<uint32_t> &rel32_rvas() const { return m_rel32Rvas; }
    const std::vector<uint32_t> &ops() const { return m_ops; }
    const std::vector<uint32_t> &origins() const { return m_origins; }
    const std::vector<uint32_t> &copy_counts() const { return m_copyCounts; }
    // The bytes of all copy ops, in order.
    const uint8_t *copy_data() const
    {
        return m_borrowedCopyBytes ? m_borrowedCopyBytes : m_copyBytes.data();
    }
    size_t copy_size() const { return m_borrowedCopyBytes ? m_borrowedCopySize : m_copyBytes.size(); }
    const std::vector<uint32_t> &abs32_ix() const { return m_abs32Ix; }
    const std::vector<uint32_t> &rel32_ix() const { return m_rel32Ix; }

private:
    friend PatchStatus ReadEncodedProgram(ByteSourceSet &streams, std::unique_ptr<EncodedProgram> &program);

    // Base relocation blocks, one per 4 KiB page, entries of the given type (3 or 10).
    bool WritePeRelocations(ByteSink &out, uint32_t entryType);
    // 8-byte entries: address, relocation type.
    bool WriteElfRelocations(ByteSink &out, uint32_t type);

    uint64_t m_imageBase = 0;
    std::vector<uint32_t> m_abs32Rvas;
    std::vector<uint32_t> m_rel32Rvas;
    std::vector<uint32_t> m_ops;
    std::vector<uint32_t> m_origins;
    std::vector<uint32_t> m_copyCounts;
    // Built here, or, in a program that was read, borrowed from its streams: the
    // largest array is only ever read, so it is not copied.
    std::vector<uint8_t> m_copyBytes;
    const uint8_t *m_borrowedCopyBytes = nullptr;
    size_t m_borrowedCopySize = 0;
    std::vector<uint32_t> m_abs32Ix;
    std::vector<uint32_t> m_rel32Ix;
    // Where Assemble wrote abs32 values; the relocation tables are built from it.
    std::vector<uint32_t> m_abs32Relocs;
};

// Reads a program that WriteTo wrote: kPatchOk and the program, or kBadEncodedProgram.
// The program borrows bytes of `streams`, whose data must outlive it.
PatchStatus ReadEncodedProgram(ByteSourceSet &streams, std::unique_ptr<EncodedProgram> &program);

} // namespace vxpatch

#endif
