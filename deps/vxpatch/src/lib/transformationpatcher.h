#ifndef VXPATCH_TRANSFORMATIONPATCHER_H
#define VXPATCH_TRANSFORMATIONPATCHER_H

#include "patchstatus.h"

namespace vxpatch {

class ByteSink;
class ByteSinkSet;
class ByteSource;
class ByteSourceSet;

// The transformation of one element of an ensemble patch: where the element
// lies in the old file, and how it turns into an encoded program and back.
class TransformationPatcher
{
public:
    virtual ~TransformationPatcher() = default;

    // Reads the element's offset and length from the element list.
    virtual PatchStatus ReadBounds(ByteSource &elementList) = 0;
    // Writes the parameters the generator predicts for the element.
    virtual PatchStatus PredictParameters(ByteSinkSet &out) = 0;
    // Turns the old file's element into its encoded program's streams.
    virtual PatchStatus ToEncodedForm(ByteSourceSet &parameters, ByteSinkSet &out) = 0;
    // Reads an encoded program and appends the assembled executable to the ensemble.
    virtual PatchStatus FromEncodedForm(ByteSourceSet &program, ByteSink &ensemble) = 0;
};

} // namespace vxpatch

#endif
