#ifndef VXPATCH_INSTRUCTIONPROGRAM_H
#define VXPATCH_INSTRUCTIONPROGRAM_H

#include "executabletype.h"
#include "instruction.h"
#include "label.h"
#include "labelnodepool.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vxpatch {

class EncodedProgram;

// What a disassembler makes of an executable: played back in order the
// instructions reproduce its bytes, with code and data references turned into
// references to labels. Every operation returns false when memory runs out
// (and the reference emitters when given no label).
//
// The program is a vector of instruction pointers: byte instructions point at
// one of 256 shared instructions, the others live in blocks owned by the
// program, so that a program costs 8 bytes per byte and 32 per reference.
class InstructionProgram
{
public:
    // Labels with this many references or fewer are dropped by TrimLabels.
    static constexpr int32_t kLabelTrimThreshold = 5;

    explicit InstructionProgram(ExecutableType kind);
    ~InstructionProgram();
    InstructionProgram(const InstructionProgram &) = delete;
    InstructionProgram &operator=(const InstructionProgram &) = delete;

    ExecutableType kind() const { return m_kind; }
    uint64_t image_base() const { return m_imageBase; }
    void set_image_base(uint64_t base) { m_imageBase = base; }

    // Makes room for `count` instructions in one allocation; a disassembler
    // that knows how many references it found calls it before emitting.
    bool ReserveInstructions(size_t count);

    bool EmitOrigin(uint32_t rva);
    bool EmitPeRelocs();
    bool EmitElfRelocs();
    bool EmitElfArmRelocs();
    bool EmitByte(uint8_t value);
    bool EmitBytes(const uint8_t *bytes, size_t length);
    bool EmitRel32(Label *label);
    bool EmitAbs32(Label *label);
    // `instruction` points at the branch in the image; `opSize` is its length (2 or 4; more fails).
    bool EmitRel32Arm(uint16_t op, Label *label, const uint8_t *instruction, uint16_t opSize);

    // The label for rva, created with index -1 when new; each call counts one reference.
    // nullptr when memory runs out.
    Label *FindOrMakeRel32Label(uint32_t rva);
    Label *FindOrMakeAbs32Label(uint32_t rva);

    // abs32 labels, then rel32 labels, each in ascending rva order, get 0, 1, 2, ...
    void DefaultAssignIndexes();
    // ARM only: drops rel32 labels with few references and turns their branches
    // back into plain bytes. False when such a branch has no bytes to fall back on.
    bool TrimLabels();
    // nullptr when memory runs out.
    std::unique_ptr<EncodedProgram> Encode() const;
    // The same, freeing the instructions as they are encoded: the program has
    // no instructions afterwards (its labels stay). For callers that need the
    // encoded form only, at the peak of whose memory use this sits.
    std::unique_ptr<EncodedProgram> EncodeAndRelease();

    const std::vector<Instruction *> &instructions() const { return m_instructions; }
    const LabelMap &rel32_labels() const { return m_rel32Labels; }
    const LabelMap &abs32_labels() const { return m_abs32Labels; }

private:
    // Appends a new instruction, nullptr when memory runs out.
    Instruction *Emit(InstructionKind kind);
    bool Append(Instruction *instruction);
    // Frees each block of *releasedBlocks (the program's own) once encoded, when not null.
    std::unique_ptr<EncodedProgram>
    EncodeWith(std::vector<std::unique_ptr<Instruction[]>> *releasedBlocks) const;
    static Label *FindOrMakeLabel(LabelMap &labels, uint32_t rva);

    ExecutableType m_kind;
    uint64_t m_imageBase = 0;
    std::vector<Instruction *> m_instructions;
    // One per byte value, made by the first EmitByte.
    std::unique_ptr<Instruction[]> m_byteInstructions;
    // Blocks of non-byte instructions; only the last one has free entries.
    std::vector<std::unique_ptr<Instruction[]>> m_blocks;
    size_t m_blockSize = 0;
    size_t m_blockUsed = 0;
    // Declared before the maps, which give their nodes back to it when destroyed.
    LabelNodePool m_labelPool;
    LabelMap m_rel32Labels;
    LabelMap m_abs32Labels;
    // Labels removed by TrimLabels stay alive here: instructions may still point at them.
    std::vector<LabelMap::node_type> m_trimmedLabels;
};

} // namespace vxpatch

#endif
