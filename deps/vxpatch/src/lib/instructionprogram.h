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
//
// Where only the encoded form is wanted, the instructions need not be held at
// all: a kLabelsOnly program keeps just the labels while a disassembler runs,
// and once StartDirectEncoding has numbered them, a second run of the same
// disassembler over the same image feeds each instruction straight to the
// encoder. The result is the encoded program a stored program would give.
class InstructionProgram
{
public:
    // Labels with this many references or fewer are dropped by TrimLabels.
    static constexpr int32_t kLabelTrimThreshold = 5;

    enum class Mode
    {
        kStore,
        kLabelsOnly,
    };

    explicit InstructionProgram(ExecutableType kind, Mode mode = Mode::kStore);
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
    // Nothing to do when encoding directly: the labels keep the first run's indexes.
    void DefaultAssignIndexes();
    // ARM only: drops rel32 labels with few references and turns their branches
    // back into plain bytes. False when such a branch has no bytes to fall back on.
    bool TrimLabels();
    // nullptr when memory runs out.
    std::unique_ptr<EncodedProgram> Encode() const;

    // For a kLabelsOnly program after its disassembly and TrimLabels: an encoded
    // program with the labels defined and room for the ops, into which this
    // program encodes what is emitted from then on, so it must live until the
    // second run is over. nullptr when memory runs out.
    std::unique_ptr<EncodedProgram> StartDirectEncoding();
    // After a failed direct run: whether it failed on a trimmed branch without bytes.
    bool trimFailed() const { return m_trimFailed; }

    const std::vector<Instruction *> &instructions() const { return m_instructions; }
    const LabelMap &rel32_labels() const { return m_rel32Labels; }
    const LabelMap &abs32_labels() const { return m_abs32Labels; }

private:
    // What an encoded program needs room for: every instruction is at most one op.
    struct EncodedSize
    {
        size_t ops = 0;
        size_t origins = 0;
        size_t copyBytes = 0;
        size_t abs32 = 0;
        size_t rel32 = 0;

        void Add(const Instruction &instruction);
    };

    // An encoded program with the labels defined (trimmed ones left out) and room for `size`.
    std::unique_ptr<EncodedProgram> NewEncodedProgram(const EncodedSize &size) const;
    // Stores, counts or encodes the instruction, as the mode says.
    bool Put(const Instruction &instruction);
    // Appends a new instruction, nullptr when memory runs out.
    Instruction *Emit(InstructionKind kind);
    bool Append(Instruction *instruction);
    bool EncodeDirect(const Instruction &instruction);
    static Label *FindOrMakeLabel(LabelMap &labels, uint32_t rva);

    // The labels of a map by rva, for the direct run, which looks one up for
    // every reference: a search in a packed array of rvas beats one in the map.
    class LabelIndex
    {
    public:
        bool Build(LabelMap &labels);
        Label *Find(uint32_t rva) const;

    private:
        std::vector<uint32_t> m_rvas;
        std::vector<Label *> m_labels;
    };
    bool IsTrimmed(const Label &label) const;

    ExecutableType m_kind;
    Mode m_mode;
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

    // Without stored instructions, trimmed labels stay in the map and are told by their count.
    bool m_labelsTrimmed = false;
    bool m_trimFailed = false;
    EncodedSize m_emitted;
    // Set by StartDirectEncoding: where emitted instructions go from then on.
    EncodedProgram *m_encoder = nullptr;
    LabelIndex m_rel32Index;
    LabelIndex m_abs32Index;
};

} // namespace vxpatch

#endif
