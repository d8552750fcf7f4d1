#ifndef VXPATCH_EXECUTABLEDETECTION_H
#define VXPATCH_EXECUTABLEDETECTION_H

#include "patchstatus.h"

#include <cstddef>
#include <memory>

namespace vxpatch {

class Disassembler;
class EncodedProgram;
class InstructionProgram;

// The first disassembler, in the fixed order PE32, PE32+, ELF x86, ELF x86-64,
// ELF ARM, Mach-O, whose ReadHeader() accepts the image; nullptr if none does.
// The order is part of the patch format: an image that two classes accept must
// always go to the same one.
std::unique_ptr<Disassembler> DetectDisassembler(const void *image, size_t length);

// Detects and disassembles one element: kPatchOk and the program,
// kNoDisassembler when no class accepts the bytes, kDisassemblyFailed when the
// accepting one fails. The program points into `image`, which must outlive it.
PatchStatus DisassembleElement(const void *image, size_t length,
                               std::unique_ptr<InstructionProgram> &program);

// Detects, disassembles, trims and encodes one element without ever holding its
// instruction program: the disassembler runs twice, first for the labels, then
// feeding the encoder. The result is what Encode() of the trimmed program of
// DisassembleElement gives. kPatchOk and the program, else kNoDisassembler,
// kDisassemblyFailed, kTrimLabelsFailed, or kPatchFailed when encoding fails.
PatchStatus EncodeElement(const void *image, size_t length, std::unique_ptr<EncodedProgram> &encoded);

} // namespace vxpatch

#endif
