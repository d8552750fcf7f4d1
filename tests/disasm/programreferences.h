#ifndef VX_TESTS_DISASM_PROGRAMREFERENCES_H
#define VX_TESTS_DISASM_PROGRAMREFERENCES_H

#include "encodedprogram.h"
#include "executabledetection.h"
#include "instructionprogram.h"
#include "streams.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

// Helpers that look at an instruction program the way assembly will play it back.
namespace programreferences {

// The program of the executable the image holds; nullptr when detection or disassembly fails.
inline std::unique_ptr<vxpatch::InstructionProgram> disassemble(const QByteArray &image)
{
    std::unique_ptr<vxpatch::InstructionProgram> program;
    if (vxpatch::DisassembleElement(image.constData(), size_t(image.size()), program) != vxpatch::kPatchOk)
        return nullptr;
    return program;
}

inline QString rel32(uint32_t rva, uint32_t target)
{
    return QStringLiteral("rel32 %1 -> %2").arg(rva, 0, 16).arg(target, 0, 16);
}

inline QString abs32(uint32_t rva, uint32_t target)
{
    return QStringLiteral("abs32 %1 -> %2").arg(rva, 0, 16).arg(target, 0, 16);
}

inline QString arm(uint32_t rva, uint16_t op, uint32_t target)
{
    return QStringLiteral("arm %1 op %2 -> %3").arg(rva, 0, 16).arg(op, 0, 16).arg(target, 0, 16);
}

// The rel32, abs32 and ARM branch references in program order, each with the address it is played back at
// (see rel32(), abs32() and arm() for the form), so that a failed comparison shows both lists.
inline QStringList references(const vxpatch::InstructionProgram &program)
{
    QStringList found;
    uint32_t address = 0;
    for (const vxpatch::Instruction *instruction : program.instructions()) {
        switch (instruction->kind) {
        case vxpatch::ORIGIN:
            address = instruction->value;
            break;
        case vxpatch::BYTE:
            address += 1;
            break;
        case vxpatch::MULTIPLEBYTES:
            address += uint32_t(instruction->length);
            break;
        case vxpatch::REL32:
            found.append(rel32(address, instruction->label->rva));
            address += 4;
            break;
        case vxpatch::ABS32:
            found.append(abs32(address, instruction->label->rva));
            address += 4;
            break;
        case vxpatch::REL32ARM:
            found.append(arm(address, instruction->armOp, instruction->label->rva));
            address += instruction->opSize;
            break;
        default:
            break;
        }
    }
    return found;
}

inline int countKind(const vxpatch::InstructionProgram &program, vxpatch::InstructionKind kind)
{
    int count = 0;
    for (const vxpatch::Instruction *instruction : program.instructions())
        count += instruction->kind == kind;
    return count;
}

// Encodes and assembles the program: the bytes the patcher would rebuild the executable from.
inline QByteArray reassemble(const vxpatch::InstructionProgram &program)
{
    std::unique_ptr<vxpatch::EncodedProgram> encoded = program.Encode();
    if (!encoded)
        return QByteArray("<encode failed>");
    vxpatch::ByteSink sink;
    if (encoded->Assemble(sink) != vxpatch::kPatchOk)
        return QByteArray("<assemble failed>");
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

} // namespace programreferences

#endif
