#include "instructionprogram.h"

#include "encodedprogram.h"
#include "logmessage.h"

#include <new>

namespace vxpatch {

InstructionProgram::InstructionProgram(ExecutableType kind) : m_kind(kind) {}

InstructionProgram::~InstructionProgram() = default;

bool InstructionProgram::Emit(const Instruction &instruction)
{
    try {
        if (m_instructions.capacity() == 0)
            m_instructions.reserve(32);
        m_instructions.push_back(instruction);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

bool InstructionProgram::EmitOrigin(uint32_t rva)
{
    Instruction instruction;
    instruction.kind = ORIGIN;
    instruction.value = rva;
    return Emit(instruction);
}

bool InstructionProgram::EmitPeRelocs()
{
    Instruction instruction;
    instruction.kind = MAKE_PE_RELOCATION_TABLE;
    return Emit(instruction);
}

bool InstructionProgram::EmitElfRelocs()
{
    Instruction instruction;
    instruction.kind = MAKE_ELF_RELOCATION_TABLE;
    return Emit(instruction);
}

bool InstructionProgram::EmitElfArmRelocs()
{
    Instruction instruction;
    instruction.kind = MAKE_ELF_ARM_RELOCATION_TABLE;
    return Emit(instruction);
}

bool InstructionProgram::EmitByte(uint8_t value)
{
    Instruction instruction;
    instruction.kind = BYTE;
    instruction.value = value;
    return Emit(instruction);
}

bool InstructionProgram::EmitBytes(const uint8_t *bytes, size_t length)
{
    Instruction instruction;
    instruction.kind = MULTIPLEBYTES;
    instruction.bytes = bytes;
    instruction.length = length;
    return Emit(instruction);
}

bool InstructionProgram::EmitRel32(Label *label)
{
    if (label == nullptr)
        return false;
    Instruction instruction;
    instruction.kind = REL32;
    instruction.label = label;
    return Emit(instruction);
}

bool InstructionProgram::EmitAbs32(Label *label)
{
    if (label == nullptr)
        return false;
    Instruction instruction;
    instruction.kind = ABS32;
    instruction.label = label;
    return Emit(instruction);
}

bool InstructionProgram::EmitRel32Arm(uint16_t op, Label *label, const uint8_t *instruction, uint16_t opSize)
{
    if (label == nullptr)
        return false;
    Instruction emitted;
    emitted.kind = REL32ARM;
    emitted.armOp = op;
    emitted.label = label;
    emitted.bytes = instruction;
    emitted.opSize = opSize;
    return Emit(emitted);
}

Label *InstructionProgram::FindOrMakeLabel(std::map<uint32_t, Label> &labels, uint32_t rva)
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
    for (std::map<uint32_t, Label> *labels : {&m_abs32Labels, &m_rel32Labels}) {
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
    for (Instruction &instruction : m_instructions) {
        if (instruction.kind != REL32ARM || instruction.label->count > kLabelTrimThreshold)
            continue;
        if (instruction.opSize == 0)
            return false;
        instruction.kind = MULTIPLEBYTES;
        instruction.length = instruction.opSize;
        instruction.label = nullptr;
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

    for (const Instruction &instruction : m_instructions) {
        bool ok = true;
        switch (instruction.kind) {
        case ORIGIN:
            ok = encoded->AddOrigin(instruction.value);
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
            const uint8_t byte = uint8_t(instruction.value);
            ok = encoded->AddCopy(1, &byte);
            break;
        }
        case MULTIPLEBYTES:
            ok = encoded->AddCopy(instruction.length, instruction.bytes);
            break;
        case REL32:
            ok = encoded->AddRel32(instruction.label->index);
            break;
        case ABS32:
            ok = encoded->AddAbs32(instruction.label->index);
            break;
        case REL32ARM:
            ok = encoded->AddRel32Arm(instruction.armOp, instruction.label->index);
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
