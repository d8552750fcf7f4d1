#ifndef VXPATCH_ENSEMBLEAPPLIER_H
#define VXPATCH_ENSEMBLEAPPLIER_H

#include "patchstatus.h"
#include "streams.h"
#include "transformationpatcher.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vxpatch {

// The fixed fields at the start of an ensemble patch.
struct EnsemblePatchHeader
{
    static constexpr uint32_t kMagic = 7696195;
    static constexpr uint32_t kVersion = 20110216;

    uint32_t sourceChecksum = 0;
    uint32_t targetChecksum = 0;
    uint32_t ensembleSizePrediction = 0;

    // kNotAPatch, kWrongVersion or kCorruptPatch when the fields cannot be read.
    PatchStatus Read(ByteSource &patch);
};

// Applies one ensemble patch to an old file in memory: the old file's
// elements are encoded, the encoded programs corrected by the patch's diff,
// reassembled behind the old file, and the last diff turns that ensemble into
// the new file.
class EnsembleApplier
{
public:
    // The old file is borrowed and must outlive the applier.
    EnsembleApplier(const uint8_t *oldData, size_t oldSize);
    // The old file already read into `ensemble` (best with room for the predicted
    // ensemble), which the ensemble is then built on: the old bytes are held once.
    explicit EnsembleApplier(ByteSink &&ensemble);

    // Appends the new file to `out` (empty on entry); every failure has its own status.
    PatchStatus Apply(ByteSource patch, ByteSink &out);

private:
    PatchStatus ReadElementList(ByteSource &elementList);
    PatchStatus CorrectParameters(ByteSource &diff);
    PatchStatus TransformElements();
    PatchStatus CorrectEncodedPrograms(ByteSource &diff);
    PatchStatus BuildEnsemble();

    // Once BuildEnsemble grows the ensemble these may no longer point at the old
    // file when it lives in the ensemble; nothing reads them after that.
    const uint8_t *m_oldData;
    size_t m_oldSize;
    bool m_oldInEnsemble = false;
    EnsemblePatchHeader m_header;
    std::vector<std::unique_ptr<TransformationPatcher>> m_patchers;

    ByteSink m_body;
    ByteSink m_correctedParameterBytes;
    ByteSourceSet m_correctedParameters;
    ByteSinkSet m_transformed;
    ByteSink m_correctedProgramBytes;
    ByteSourceSet m_correctedPrograms;
    ByteSink m_ensemble;
};

// Applies the patch in memory; the result is appended to `out`, which must be empty.
PatchStatus ApplyEnsemblePatchToBuffer(const uint8_t *oldData, size_t oldSize, const uint8_t *patchData,
                                       size_t patchSize, ByteSink &out);

// Writes the new file only when everything, its checksum included, succeeded
// (a short write leaves a partial file and reports kFileIoError). The old file
// and the patch are never changed.
PatchStatus ApplyEnsemblePatch(const char *oldPath, const char *patchPath, const char *newPath);

} // namespace vxpatch

#endif
