#include "instructionprogram.h"

#include "encodedprogram.h"
#include "logmessage.h"

#include <algorithm>
#include <functional>
#include <new>
#include <stdexcept>

namespace vxpatch {

InstructionProgram::InstructionProgram(ExecutableType kind)
    : m_kind(kind), m_rel32Labels(LabelMap::allocator_type(&m_labelPool)),
      m_abs32Labels(LabelMap::allocator_type(&m_labelPool))
{
}

InstructionProgram::~InstructionProgram() = default;

namespace {

// Instructions per block: small programs stay small, large ones need few blocks.
constexpr size_t kFirstBlock = 64;
constexpr size_t kLargestBlock = 16384;

} // namespace

bool InstructionProgram::ReserveInstructions(size_t count)
{
    try {
        m_instructions.reserve(count);
    } catch (const std::bad_alloc &) {
        return false;
    } catch (const std::length_error &) {
        return false;
    }
    return true;
}

bool InstructionProgram::Append(Instruction *instruction)
{
    try {
        if (m_instructions.size() == m_instructions.capacity())
            m_instructions.reserve(m_instructions.empty() ? 32 : 2 * m_instructions.capacity());
        m_instructions.push_back(instruction);
    } catch (const std::bad_alloc &) {
        return false;
    } catch (const std::length_error &) {
        return false;
    }
    return true;
}

Instruction *InstructionProgram::Emit(InstructionKind kind)
{
    if (m_blockUsed == m_blockSize) {
        const size_t size = m_blocks.empty() ? kFirstBlock : std::min(2 * m_blockSize, kLargestBlock);
        try {
            std::unique_ptr<Instruction[]> block(new Instruction[size]);
            m_blocks.push_back(std::move(block));
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
        m_blockSize = size;
        m_blockUsed = 0;
    }
    Instruction *instruction = &m_blocks.back()[m_blockUsed];
    if (!Append(instruction))
        return nullptr;
    ++m_blockUsed;
    instruction->kind = kind;
    return instruction;
}

bool InstructionProgram::EmitOrigin(uint32_t rva)
{
    Instruction *instruction = Emit(ORIGIN);
    if (instruction == nullptr)
        return false;
    instruction->value = rva;
    return true;
}

bool InstructionProgram::EmitPeRelocs()
{
    return Emit(MAKE_PE_RELOCATION_TABLE) != nullptr;
}

bool InstructionProgram::EmitElfRelocs()
{
    return Emit(MAKE_ELF_RELOCATION_TABLE) != nullptr;
}

bool InstructionProgram::EmitElfArmRelocs()
{
    return Emit(MAKE_ELF_ARM_RELOCATION_TABLE) != nullptr;
}

bool InstructionProgram::EmitByte(uint8_t value)
{
    if (!m_byteInstructions) {
        m_byteInstructions.reset(new (std::nothrow) Instruction[256]);
        if (!m_byteInstructions)
            return false;
        for (uint32_t byte = 0; byte < 256; ++byte) {
            m_byteInstructions[byte].kind = BYTE;
            m_byteInstructions[byte].value = byte;
        }
    }
    return Append(&m_byteInstructions[value]);
}

bool InstructionProgram::EmitBytes(const uint8_t *bytes, size_t length)
{
    // Lengths are 32 bits; a longer run becomes several instructions, which
    // encode to the same copy.
    do {
        const uint32_t part = uint32_t(std::min<size_t>(length, UINT32_MAX));
        Instruction *instruction = Emit(MULTIPLEBYTES);
        if (instruction == nullptr)
            return false;
        instruction->bytes = bytes;
        instruction->length = part;
        bytes += part;
        length -= part;
    } while (length != 0);
    return true;
}

bool InstructionProgram::EmitRel32(Label *label)
{
    if (label == nullptr)
        return false;
    Instruction *instruction = Emit(REL32);
    if (instruction == nullptr)
        return false;
    instruction->label = label;
    return true;
}

bool InstructionProgram::EmitAbs32(Label *label)
{
    if (label == nullptr)
        return false;
    Instruction *instruction = Emit(ABS32);
    if (instruction == nullptr)
        return false;
    instruction->label = label;
    return true;
}

bool InstructionProgram::EmitRel32Arm(uint16_t op, Label *label, const uint8_t *instruction, uint16_t opSize)
{
    if (label == nullptr || opSize > 4)
        return false;
    Instruction *emitted = Emit(REL32ARM);
    if (emitted == nullptr)
        return false;
    emitted->armOp = op;
    emitted->label = label;
    emitted->bytes = instruction;
    emitted->opSize = uint8_t(opSize);
    return true;
}

Label *InstructionProgram::FindOrMakeLabel(LabelMap &labels, uint32_t rva)
{
    try {
        Label &label = labels[rva];
        label.rva = rva;
        ++label.count;
        return &label;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

Label *InstructionProgram::FindOrMakeRel32Label(uint32_t rva)
{
    return FindOrMakeLabel(m_rel32Labels, rva);
}

Label *InstructionProgram::FindOrMakeAbs32Label(uint32_t rva)
{
    return FindOrMakeLabel(m_abs32Labels, rva);
}

void InstructionProgram::DefaultAssignIndexes()
{
    for (LabelMap *labels : {&m_abs32Labels, &m_rel32Labels}) {
        int32_t index = 0;
        for (auto &entry : *labels) {
            if (entry.second.index != -1)
                LogError("REACHED UNREACHABLE");
            entry.second.index = index++;
        }
    }
}

bool InstructionProgram::TrimLabels()
{
    if (m_kind != ELF_32_ARM)
        return true;
    LogDebug("TrimLabels: threshold ", kLabelTrimThreshold);
    // Branches first: their labels must still be alive while they are rewritten.
    for (Instruction *instruction : m_instructions) {
        if (instruction->kind != REL32ARM || instruction->label->count > kLabelTrimThreshold)
            continue;
        if (instruction->opSize == 0)
            return false;
        instruction->kind = MULTIPLEBYTES;
        instruction->length = instruction->opSize;
        instruction->label = nullptr;
    }
    try {
        for (auto it = m_rel32Labels.begin(); it != m_rel32Labels.end();) {
            auto next = std::next(it);
            // The extracted node keeps the label at its address for instructions
            // of other kinds that may still point at it.
            if (it->second.count <= kLabelTrimThreshold)
                m_trimmedLabels.push_back(m_rel32Labels.extract(it));
            it = next;
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

std::unique_ptr<EncodedProgram> InstructionProgram::Encode() const
{
    return EncodeWith(nullptr);
}

std::unique_ptr<EncodedProgram> InstructionProgram::EncodeAndRelease()
{
    std::unique_ptr<EncodedProgram> encoded = EncodeWith(&m_blocks);
    std::vector<Instruction *>().swap(m_instructions);
    m_blocks.clear();
    m_blockSize = 0;
    m_blockUsed = 0;
    return encoded;
}

std::unique_ptr<EncodedProgram>
InstructionProgram::EncodeWith(std::vector<std::unique_ptr<Instruction[]>> *releasedBlocks) const
{
    std::unique_ptr<EncodedProgram> encoded(new (std::nothrow) EncodedProgram);
    if (!encoded)
        return nullptr;
    encoded->set_image_base(m_imageBase);
    for (const auto &entry : m_abs32Labels) {
        if (!encoded->DefineAbs32Label(entry.second.index, entry.second.rva))
            return nullptr;
    }
    for (const auto &entry : m_rel32Labels) {
        if (!encoded->DefineRel32Label(entry.second.index, entry.second.rva))
            return nullptr;
    }
    encoded->EndLabels();

    size_t origins = 0, copyBytes = 0, abs32 = 0, rel32 = 0;
    for (const Instruction *instruction : m_instructions) {
        switch (instruction->kind) {
        case ORIGIN:
            ++origins;
            break;
        case BYTE:
            ++copyBytes;
            break;
        case MULTIPLEBYTES:
            copyBytes += instruction->length;
            break;
        case ABS32:
            ++abs32;
            break;
        case REL32:
        case REL32ARM:
            ++rel32;
            break;
        default:
            break;
        }
    }
    // Every instruction is at most one op.
    if (!encoded->Reserve(m_instructions.size(), origins, copyBytes, abs32, rel32))
        return nullptr;

    // Blocks hold the instructions in program order, so a block is done with
    // once an instruction from a later one turns up.
    size_t block = 0;
    size_t blockSize = kFirstBlock;
    const std::less<const Instruction *> before;
    const Instruction *bytes = m_byteInstructions.get();
    for (const Instruction *instruction : m_instructions) {
        const bool shared =
            bytes != nullptr && !before(instruction, bytes) && before(instruction, bytes + 256);
        if (releasedBlocks != nullptr && !shared) {
            while (block < releasedBlocks->size() &&
                   (before(instruction, (*releasedBlocks)[block].get()) ||
                    !before(instruction, (*releasedBlocks)[block].get() + blockSize))) {
                (*releasedBlocks)[block++].reset();
                blockSize = std::min(2 * blockSize, kLargestBlock);
            }
        }
        bool ok = true;
        switch (instruction->kind) {
        case ORIGIN:
            ok = encoded->AddOrigin(instruction->value);
            break;
        case MAKE_PE_RELOCATION_TABLE:
            ok = encoded->AddPeMakeRelocs(m_kind);
            break;
        case MAKE_ELF_RELOCATION_TABLE:
            ok = encoded->AddElfMakeRelocs();
            break;
        case MAKE_ELF_ARM_RELOCATION_TABLE:
            ok = encoded->AddElfArmMakeRelocs();
            break;
        case BYTE: {
            const uint8_t byte = uint8_t(instruction->value);
            ok = encoded->AddCopy(1, &byte);
            break;
        }
        case MULTIPLEBYTES:
            ok = encoded->AddCopy(instruction->length, instruction->bytes);
            break;
        case REL32:
            ok = encoded->AddRel32(instruction->label->index);
            break;
        case ABS32:
            ok = encoded->AddAbs32(instruction->label->index);
            break;
        case REL32ARM:
            ok = encoded->AddRel32Arm(instruction->armOp, instruction->label->index);
            break;
        default:
            LogError("REACHED UNREACHABLE");
            LogError("Unknown Insn OP kind");
            break;
        }
        if (!ok)
            return nullptr;
    }
    return encoded;
}

} // namespace vxpatch
