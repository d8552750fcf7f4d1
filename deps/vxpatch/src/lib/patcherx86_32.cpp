#include "patcherx86_32.h"

#include "encodedprogram.h"
#include "executabledetection.h"
#include "streams.h"

namespace vxpatch {

PatcherX86_32::PatcherX86_32(const uint8_t *oldStart, size_t oldLength)
    : m_oldStart(oldStart), m_oldLength(oldLength)
{
}

PatchStatus PatcherX86_32::ReadBounds(ByteSource &elementList)
{
    if (!elementList.ReadVarint32(m_offset) || !elementList.ReadVarint32(m_length))
        return kBadElement;
    if (m_offset > m_oldLength || m_length > m_oldLength - m_offset)
        return kBadElement;
    return kPatchOk;
}

PatchStatus PatcherX86_32::PredictParameters(ByteSinkSet &)
{
    return kPatchOk;
}

PatchStatus PatcherX86_32::ToEncodedForm(ByteSourceSet &parameters, ByteSinkSet &out)
{
    if (!parameters.Empty())
        return kPatchFailed;
    std::unique_ptr<EncodedProgram> encoded;
    const PatchStatus status = EncodeElement(m_oldStart + m_offset, m_length, encoded);
    if (status != kPatchOk)
        return status;
    return encoded->WriteTo(out);
}

PatchStatus PatcherX86_32::FromEncodedForm(ByteSourceSet &programStreams, ByteSink &ensemble)
{
    std::unique_ptr<EncodedProgram> encoded;
    if (ReadEncodedProgram(programStreams, encoded) != kPatchOk)
        return kBadEncodedProgram;
    return encoded->Assemble(ensemble) == kPatchOk ? kPatchOk : kAssemblyFailed;
}

} // namespace vxpatch
