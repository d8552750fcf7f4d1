#include "executabledetection.h"

#include "disassembler_macho.h"
#include "disassembler_win32x64.h"
#include "disassembler_win32x86.h"
#include "disassemblerelf32arm.h"
#include "disassemblerelf32x86.h"
#include "disassemblerelf64x64.h"
#include "encodedprogram.h"
#include "instructionprogram.h"

namespace vxpatch {

namespace {

template <typename T> std::unique_ptr<Disassembler> Accepting(const void *image, size_t length)
{
    auto disassembler = std::make_unique<T>(image, length);
    if (!disassembler->ReadHeader())
        return nullptr;
    return disassembler;
}

} // namespace

std::unique_ptr<Disassembler> DetectDisassembler(const void *image, size_t length)
{
    std::unique_ptr<Disassembler> found;
    if ((found = Accepting<DisassemblerWin32X86>(image, length)) ||
        (found = Accepting<DisassemblerWin32X64>(image, length)) ||
        (found = Accepting<DisassemblerElf32X86>(image, length)) ||
        (found = Accepting<DisassemblerElf64X64>(image, length)) ||
        (found = Accepting<DisassemblerElf32ARM>(image, length)) ||
        (found = Accepting<DisassemblerMacho>(image, length)))
        return found;
    return nullptr;
}

PatchStatus DisassembleElement(const void *image, size_t length, std::unique_ptr<InstructionProgram> &program)
{
    program.reset();
    std::unique_ptr<Disassembler> disassembler = DetectDisassembler(image, length);
    if (!disassembler)
        return kNoDisassembler;
    auto candidate = std::make_unique<InstructionProgram>(disassembler->type());
    if (!disassembler->Disassemble(candidate.get()))
        return kDisassemblyFailed;
    program = std::move(candidate);
    return kPatchOk;
}

PatchStatus EncodeElement(const void *image, size_t length, std::unique_ptr<EncodedProgram> &encoded)
{
    encoded.reset();
    std::unique_ptr<Disassembler> disassembler = DetectDisassembler(image, length);
    if (!disassembler)
        return kNoDisassembler;
    InstructionProgram program(disassembler->type(), InstructionProgram::Mode::kLabelsOnly);
    if (!disassembler->Disassemble(&program))
        return kDisassemblyFailed;
    if (!program.TrimLabels())
        return kTrimLabelsFailed;
    std::unique_ptr<EncodedProgram> candidate = program.StartDirectEncoding();
    if (!candidate)
        return kPatchFailed;
    // The same image gives the same walk; only the encoder can fail where the first run did not.
    if (!disassembler->Disassemble(&program))
        return program.trimFailed() ? kTrimLabelsFailed : kPatchFailed;
    encoded = std::move(candidate);
    return kPatchOk;
}

} // namespace vxpatch
