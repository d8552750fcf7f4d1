#ifndef VXPATCH_PATCHERX86_32_H
#define VXPATCH_PATCHERX86_32_H

#include "transformationpatcher.h"

#include <cstddef>
#include <cstdint>

namespace vxpatch {

// The transformation of every element kind: disassemble, encode, and assemble.
// Which disassembler applies is decided again by detection on the element's bytes.
class PatcherX86_32 : public TransformationPatcher
{
public:
    // The old file is borrowed and must outlive the patcher.
    PatcherX86_32(const uint8_t *oldStart, size_t oldLength);

    PatchStatus ReadBounds(ByteSource &elementList) override;
    PatchStatus PredictParameters(ByteSinkSet &out) override;
    PatchStatus ToEncodedForm(ByteSourceSet &parameters, ByteSinkSet &out) override;
    PatchStatus FromEncodedForm(ByteSourceSet &program, ByteSink &ensemble) override;

    uint32_t offset() const { return m_offset; }
    uint32_t length() const { return m_length; }

private:
    const uint8_t *m_oldStart;
    size_t m_oldLength;
    uint32_t m_offset = 0;
    uint32_t m_length = 0;
};

} // namespace vxpatch

#endif
