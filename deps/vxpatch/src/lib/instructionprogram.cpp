#include "instructionprogram.h"

#include "encodedprogram.h"
#include "logmessage.h"

#include <algorithm>
#include <functional>
#include <new>
#include <stdexcept>

namespace vxpatch {

InstructionProgram::InstructionProgram(ExecutableType kind, Mode mode)
    : m_kind(kind), m_mode(mode), m_rel32Labels(LabelMap::allocator_type(&m_labelPool)),
      m_abs32Labels(LabelMap::allocator_type(&m_labelPool))
{
}

InstructionProgram::~InstructionProgram() = default;

namespace {

// Instructions per block: small programs stay small, large ones need few blocks.
constexpr size_t kFirstBlock = 64;
constexpr size_t kLargestBlock = 16384;

// `value` is the rva or the byte, as the kind says.
Instruction MakeInstruction(InstructionKind kind, uint32_t value = 0, Label *label = nullptr)
{
    Instruction instruction;
    instruction.kind = kind;
    instruction.value = value;
    instruction.label = label;
    return instruction;
}

} // namespace

bool InstructionProgram::ReserveInstructions(size_t count)
{
    if (m_mode != Mode::kStore)
        return true;
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

bool InstructionProgram::Put(const Instruction &instruction)
{
    if (m_encoder != nullptr)
        return EncodeDirect(instruction);
    if (m_mode == Mode::kLabelsOnly) {
        m_emitted.Add(instruction);
        // Trimming may turn the branch into a copy of its bytes.
        if (instruction.kind == REL32ARM)
            m_emitted.copyBytes += instruction.opSize;
        return true;
    }
    Instruction *stored = Emit(instruction.kind);
    if (stored == nullptr)
        return false;
    *stored = instruction;
    return true;
}

bool InstructionProgram::EmitOrigin(uint32_t rva)
{
    return Put(MakeInstruction(ORIGIN, rva));
}

bool InstructionProgram::EmitPeRelocs()
{
    return Put(MakeInstruction(MAKE_PE_RELOCATION_TABLE));
}

bool InstructionProgram::EmitElfRelocs()
{
    return Put(MakeInstruction(MAKE_ELF_RELOCATION_TABLE));
}

bool InstructionProgram::EmitElfArmRelocs()
{
    return Put(MakeInstruction(MAKE_ELF_ARM_RELOCATION_TABLE));
}

bool InstructionProgram::EmitByte(uint8_t value)
{
    if (m_mode != Mode::kStore)
        return Put(MakeInstruction(BYTE, value));
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
        Instruction instruction = MakeInstruction(MULTIPLEBYTES);
        instruction.bytes = bytes;
        instruction.length = part;
        if (!Put(instruction))
            return false;
        bytes += part;
        length -= part;
    } while (length != 0);
    return true;
}

bool InstructionProgram::EmitRel32(Label *label)
{
    return label != nullptr && Put(MakeInstruction(REL32, 0, label));
}

bool InstructionProgram::EmitAbs32(Label *label)
{
    return label != nullptr && Put(MakeInstruction(ABS32, 0, label));
}

bool InstructionProgram::EmitRel32Arm(uint16_t op, Label *label, const uint8_t *instruction, uint16_t opSize)
{
    if (label == nullptr || opSize > 4)
        return false;
    Instruction emitted = MakeInstruction(REL32ARM, 0, label);
    emitted.armOp = op;
    emitted.bytes = instruction;
    emitted.opSize = uint8_t(opSize);
    return Put(emitted);
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

// In the direct run the first run over the same image has made and counted every label.
Label *InstructionProgram::FindOrMakeRel32Label(uint32_t rva)
{
    return m_encoder != nullptr ? m_rel32Index.Find(rva) : FindOrMakeLabel(m_rel32Labels, rva);
}

Label *InstructionProgram::FindOrMakeAbs32Label(uint32_t rva)
{
    return m_encoder != nullptr ? m_abs32Index.Find(rva) : FindOrMakeLabel(m_abs32Labels, rva);
}

void InstructionProgram::DefaultAssignIndexes()
{
    if (m_encoder != nullptr)
        return;
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
    if (m_mode != Mode::kStore) {
        m_labelsTrimmed = true;
        return true;
    }
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

namespace {

bool EncodeInstruction(EncodedProgram &encoded, const Instruction &instruction, ExecutableType kind)
{
    switch (instruction.kind) {
    case ORIGIN:
        return encoded.AddOrigin(instruction.value);
    case MAKE_PE_RELOCATION_TABLE:
        return encoded.AddPeMakeRelocs(kind);
    case MAKE_ELF_RELOCATION_TABLE:
        return encoded.AddElfMakeRelocs();
    case MAKE_ELF_ARM_RELOCATION_TABLE:
        return encoded.AddElfArmMakeRelocs();
    case BYTE: {
        const uint8_t byte = uint8_t(instruction.value);
        return encoded.AddCopy(1, &byte);
    }
    case MULTIPLEBYTES:
        return encoded.AddCopy(instruction.length, instruction.bytes);
    case REL32:
        return encoded.AddRel32(instruction.label->index);
    case ABS32:
        return encoded.AddAbs32(instruction.label->index);
    case REL32ARM:
        return encoded.AddRel32Arm(instruction.armOp, instruction.label->index);
    }
    LogError("REACHED UNREACHABLE");
    LogError("Unknown Insn OP kind");
    return true;
}

} // namespace

void InstructionProgram::EncodedSize::Add(const Instruction &instruction)
{
    ++ops;
    switch (instruction.kind) {
    case ORIGIN:
        ++origins;
        break;
    case BYTE:
        ++copyBytes;
        break;
    case MULTIPLEBYTES:
        copyBytes += instruction.length;
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

std::unique_ptr<EncodedProgram> InstructionProgram::NewEncodedProgram(const EncodedSize &size) const
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
        if (!IsTrimmed(entry.second) && !encoded->DefineRel32Label(entry.second.index, entry.second.rva))
            return nullptr;
    }
    encoded->EndLabels();
    if (!encoded->Reserve(size.ops, size.origins, size.copyBytes, size.abs32, size.rel32))
        return nullptr;
    return encoded;
}

std::unique_ptr<EncodedProgram> InstructionProgram::Encode() const
{
    EncodedSize size;
    for (const Instruction *instruction : m_instructions)
        size.Add(*instruction);
    std::unique_ptr<EncodedProgram> encoded = NewEncodedProgram(size);
    if (!encoded)
        return nullptr;
    for (const Instruction *instruction : m_instructions) {
        if (!EncodeInstruction(*encoded, *instruction, m_kind))
            return nullptr;
    }
    return encoded;
}

std::unique_ptr<EncodedProgram> InstructionProgram::StartDirectEncoding()
{
    if (m_mode != Mode::kLabelsOnly || m_encoder != nullptr)
        return nullptr;
    std::unique_ptr<EncodedProgram> encoded = NewEncodedProgram(m_emitted);
    if (!encoded || !m_rel32Index.Build(m_rel32Labels) || !m_abs32Index.Build(m_abs32Labels))
        return nullptr;
    m_encoder = encoded.get();
    return encoded;
}

bool InstructionProgram::LabelIndex::Build(LabelMap &labels)
{
    try {
        m_rvas.reserve(labels.size());
        m_labels.reserve(labels.size());
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (auto &entry : labels) {
        m_rvas.push_back(entry.first);
        m_labels.push_back(&entry.second);
    }
    return true;
}

Label *InstructionProgram::LabelIndex::Find(uint32_t rva) const
{
    const auto found = std::lower_bound(m_rvas.begin(), m_rvas.end(), rva);
    return found == m_rvas.end() || *found != rva ? nullptr : m_labels[size_t(found - m_rvas.begin())];
}

bool InstructionProgram::IsTrimmed(const Label &label) const
{
    return m_labelsTrimmed && label.count <= kLabelTrimThreshold;
}

bool InstructionProgram::EncodeDirect(const Instruction &instruction)
{
    if (instruction.kind == REL32ARM && IsTrimmed(*instruction.label)) {
        // As TrimLabels does to a stored branch: its bytes are copied instead.
        if (instruction.opSize == 0) {
            m_trimFailed = true;
            return false;
        }
        return m_encoder->AddCopy(instruction.opSize, instruction.bytes);
    }
    return EncodeInstruction(*m_encoder, instruction, m_kind);
}

} // namespace vxpatch
