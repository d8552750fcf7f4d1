#include "elementfinder.h"

#include "disassembler.h"
#include "executabledetection.h"
#include "instructionprogram.h"

#include <memory>

namespace vxpatch {

namespace {

// Cheap pre-check before a full header check: the first bytes of PE, ELF and Mach-O images.
bool MayStartExecutable(const uint8_t *p, size_t remaining)
{
    if (remaining >= 2 && p[0] == 'M' && p[1] == 'Z')
        return true;
    if (remaining < 4)
        return false;
    if (p[0] == 0x7F && p[1] == 'E' && p[2] == 'L' && p[3] == 'F')
        return true;
    return (p[0] == 0xCE || p[0] == 0xCF) && p[1] == 0xFA && p[2] == 0xED && p[3] == 0xFE;
}

} // namespace

std::vector<Element> FindElements(const uint8_t *data, size_t size)
{
    std::vector<Element> elements;
    size_t position = 0;
    while (position < size) {
        if (!MayStartExecutable(data + position, size - position)) {
            ++position;
            continue;
        }
        std::unique_ptr<Disassembler> disassembler = DetectDisassembler(data + position, size - position);
        if (disassembler && disassembler->length() > 0) {
            const ExecutableType type = disassembler->type();
            const size_t length = disassembler->length();
            std::unique_ptr<InstructionProgram> program;
            if (DisassembleElement(data + position, length, program) == kPatchOk && program->kind() == type) {
                elements.push_back(Element{type, position, length});
                position += length;
                continue;
            }
        }
        ++position;
    }
    return elements;
}

} // namespace vxpatch
