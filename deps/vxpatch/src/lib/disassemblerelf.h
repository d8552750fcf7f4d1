#ifndef VXPATCH_DISASSEMBLERELF_H
#define VXPATCH_DISASSEMBLERELF_H

#include "disassembler.h"

#include <deque>
#include <memory>
#include <vector>

namespace vxpatch {

class InstructionProgram;

// What the ELF32 and ELF64 disassemblers share: the header check, the address
// mapping and the file walk. The two subclasses only know where the fields of
// their header layout sit; the machine classes below them know the relocation
// types and the branch encodings. Addresses are 32-bit, also for ELF64.
class DisassemblerElf : public Disassembler
{
public:
    enum SectionType : uint32_t
    {
        SHT_PROGBITS = 1,
        SHT_NOBITS = 8,
        SHT_REL = 9,
        SHT_INIT_ARRAY = 14,
        SHT_FINI_ARRAY = 15,
    };

    struct Section
    {
        uint32_t type = 0;
        uint64_t address = 0;
        uint64_t offset = 0;
        uint64_t size = 0;
        uint64_t entrySize = 0;
    };

    struct Segment
    {
        uint64_t virtualAddress = 0;
        uint64_t offset = 0;
        uint64_t fileSize = 0;
        uint64_t memorySize = 0;
    };

    struct RelocationEntry
    {
        uint64_t offset = 0; // r_offset
        uint64_t info = 0;   // r_info
    };

    // One rel32 location: where the reference field (x86) or the branch
    // instruction (ARM) sits, and where it points relative to that address.
    class TypedRVA
    {
    public:
        explicit TypedRVA(uint32_t rva) : m_rva(rva) {}
        virtual ~TypedRVA();

        // Decodes the instruction at `p` and sets the relative target; false if it is no branch.
        virtual bool ComputeTarget(const uint8_t *p) = 0;
        virtual bool EmitInstruction(InstructionProgram *program, uint32_t targetRva) = 0;
        virtual uint16_t OpSize() const = 0;

        uint32_t rva() const { return m_rva; }
        int32_t relativeTarget() const { return m_relativeTarget; }
        uint32_t targetRva() const { return m_rva + uint32_t(m_relativeTarget); }
        size_t fileOffset() const { return m_fileOffset; }
        void setFileOffset(size_t offset) { m_fileOffset = offset; }

    protected:
        void setRelativeTarget(int32_t relativeTarget) { m_relativeTarget = relativeTarget; }

    private:
        uint32_t m_rva;
        int32_t m_relativeTarget = 0;
        size_t m_fileOffset = 0;
    };

    // An x86 or x86-64 rel32 field of four bytes; its target is relative to the field's end.
    class TypedRVARel32 : public TypedRVA
    {
    public:
        using TypedRVA::TypedRVA;
        bool ComputeTarget(const uint8_t *p) override;
        bool EmitInstruction(InstructionProgram *program, uint32_t targetRva) override;
        uint16_t OpSize() const override { return 4; }
    };

    DisassemblerElf(const void *start, size_t length);
    ~DisassemblerElf() override;

    bool ReadHeader() override;
    bool Disassemble(InstructionProgram *program) override;

    virtual uint16_t ElfMachine() const = 0;
    // The address an entry of a REL section relocates, when it is one this machine turns into abs32.
    virtual bool RelocationTarget(const RelocationEntry &entry, uint32_t *rva) const = 0;
    virtual bool EmitRelocationSection(const Section &section, InstructionProgram *program) = 0;
    // Appends the rel32 locations of one PROGBITS section to the location list.
    virtual bool ScanRel32(const Section &section) = 0;

    const std::vector<uint32_t> &abs32Locations() const { return m_abs32Locations; }
    const std::vector<TypedRVA *> &rel32Locations() const { return m_rel32Locations; }

protected:
    struct HeaderFields
    {
        uint16_t type = 0;
        uint16_t machine = 0;
        uint32_t version = 0;
        uint16_t sectionHeaderSize = 0;
        uint64_t sectionHeaderOffset = 0;
        uint16_t sectionCount = 0;
        uint64_t programHeaderOffset = 0;
        uint16_t programHeaderCount = 0;
    };

    // The header layout of the ELF class.
    virtual size_t ElfHeaderSize() const = 0;
    virtual size_t SectionHeaderSize() const = 0;
    virtual size_t ProgramHeaderSize() const = 0;
    virtual size_t RelocationEntrySize() const = 0;
    virtual HeaderFields ReadHeaderFields() const = 0;
    virtual Section ReadSection(const uint8_t *p) const = 0;
    virtual Segment ReadSegment(const uint8_t *p) const = 0;
    virtual RelocationEntry ReadRelocation(const uint8_t *p) const = 0;

    // Address of a position inside a section: sh_addr + (position - sh_offset), 32 bits.
    static uint32_t SectionRva(const Section &section, const uint8_t *p, const uint8_t *start);
    // The section's bytes, or false when they reach beyond the image.
    bool SectionBytes(const Section &section, const uint8_t **start, const uint8_t **end) const;
    // Entries of a REL section that can be read inside the section (0 when sh_entsize is 0).
    uint64_t RelocationCount(const Section &section) const;
    bool IsInCodeSection(uint32_t rva) const;
    // The scan of x86 and x86-64 code: a `Record` into `store` for every rel32
    // field (FindRel32Field) whose target lies in a code section.
    template <typename Record>
    bool ScanX86Rel32(const Section &section, bool ripRelative, std::deque<Record> &store);
    bool RvaToFileOffset(uint32_t rva, size_t *offset) const;

    const std::vector<Section> &sections() const { return m_sections; }

    // Points into the machine's own store of locations (a deque: one allocation
    // per many locations, and stable addresses).
    std::vector<TypedRVA *> m_rel32Locations;
    // A second Disassemble (see EncodeElement) walks the same locations again.
    bool m_locationsCollected = false;
    // Empties m_rel32Locations and the store behind it.
    virtual void ClearRel32Locations() = 0;

private:
    bool CollectAbs32Locations();
    bool CollectRel32Locations();
    bool ResolveFileOffsets();
    bool WalkFile(InstructionProgram *program);
    bool EmitProgbitsSection(const Section &section, InstructionProgram *program);
    bool EmitGap(size_t from, size_t to, InstructionProgram *program);
    bool IsInProgbitsOrRelSection(size_t offset) const;
    void BuildCodeRanges();

    // The address ranges of the PROGBITS sections, sorted and merged.
    struct CodeRange
    {
        uint64_t start;
        uint64_t end;
    };
    std::vector<CodeRange> m_codeRanges;

    std::vector<Section> m_sections;
    std::vector<Segment> m_segments;
    // Sorted by address; m_abs32Offsets holds the matching file offsets.
    std::vector<uint32_t> m_abs32Locations;
    std::vector<size_t> m_abs32Offsets;
    // Cursors of the file walk into the two sorted location lists.
    size_t m_nextAbs32 = 0;
    size_t m_nextRel32 = 0;
};

template <typename Record>
bool DisassemblerElf::ScanX86Rel32(const Section &section, bool ripRelative, std::deque<Record> &store)
{
    const uint8_t *begin = nullptr;
    const uint8_t *end = nullptr;
    if (!SectionBytes(section, &begin, &end))
        return false;
    const uint8_t *p = begin;
    while (p < end) {
        const Rel32Field candidate = FindRel32Field(p, size_t(end - p), ripRelative);
        if (candidate.offset != 0) {
            const uint8_t *field = p + candidate.offset;
            Record location(SectionRva(section, field, begin));
            if (location.ComputeTarget(field) && IsInCodeSection(location.targetRva())) {
                store.push_back(location);
                m_rel32Locations.push_back(&store.back());
                p = field + 4;
                continue;
            }
        }
        ++p;
    }
    return true;
}

} // namespace vxpatch

#endif
