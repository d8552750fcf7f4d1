#include "ensembleapplier.h"

#include "diffstream.h"
#include "mappedfile.h"
#include "patcherx86_32.h"

#include <algorithm>
#include <cstdio>

namespace vxpatch {

namespace {

constexpr uint32_t kBodyStreams = 4;
// Diff positions are signed 32-bit, so no usable ensemble is larger; a
// prediction beyond it is not worth reserving memory for.
constexpr size_t kMaxEnsembleReservation = size_t(1) << 31;

} // namespace

PatchStatus EnsemblePatchHeader::Read(ByteSource &patch)
{
    uint32_t magic = 0;
    if (!patch.ReadVarint32(magic) || magic != kMagic)
        return kNotAPatch;
    uint32_t version = 0;
    if (!patch.ReadVarint32(version) || version != kVersion)
        return kWrongVersion;
    if (!patch.ReadVarint32(sourceChecksum) || !patch.ReadVarint32(targetChecksum) ||
        !patch.ReadVarint32(ensembleSizePrediction))
        return kCorruptPatch;
    return kPatchOk;
}

EnsembleApplier::EnsembleApplier(const uint8_t *oldData, size_t oldSize)
    : m_oldData(oldData), m_oldSize(oldSize)
{
}

EnsembleApplier::EnsembleApplier(ByteSink &&ensemble)
    : m_oldData(nullptr), m_oldSize(0), m_oldInEnsemble(true), m_ensemble(std::move(ensemble))
{
    m_oldData = m_ensemble.Data();
    m_oldSize = m_ensemble.Length();
}

PatchStatus EnsembleApplier::Apply(ByteSource patch, ByteSink &out)
{
    PatchStatus status = m_header.Read(patch);
    if (status != kPatchOk)
        return status;
    if (CalculateChecksum(m_oldData, m_oldSize) != m_header.sourceChecksum)
        return kChecksumMismatch;
    if (!patch.ReadLzma2Block(m_body))
        return kStreamError;
    // A body that is no stream set leaves every stream empty; the element list then fails.
    ByteSourceSet body;
    if (!body.Init(m_body.Data(), m_body.Length()))
        body.Reset();

    if ((status = ReadElementList(body.stream(0))) != kPatchOk ||
        (status = CorrectParameters(body.stream(1))) != kPatchOk ||
        (status = TransformElements()) != kPatchOk ||
        (status = CorrectEncodedPrograms(body.stream(2))) != kPatchOk ||
        (status = BuildEnsemble()) != kPatchOk)
        return status;

    ByteSource ensemble(m_ensemble.Data(), m_ensemble.Length());
    // The new file is rarely larger than the ensemble. Room that is reserved but
    // never written takes no memory, and the output is not copied as it grows.
    if (out.Length() == 0 && !out.Reserve(std::min(m_ensemble.Length(), kMaxEnsembleReservation)))
        return kStreamError;
    if (!ApplyDiffStream(ensemble, body.stream(kBodyStreams - 1), out, false))
        return kPatchFailed;
    if (CalculateChecksum(out.Data(), out.Length()) != m_header.targetChecksum)
        return kChecksumMismatch;
    return kPatchOk;
}

PatchStatus EnsembleApplier::ReadElementList(ByteSource &elementList)
{
    uint32_t count = 0;
    if (!elementList.ReadVarint32(count))
        return kCorruptPatch;
    // Each kind takes at least one byte, so a count beyond the list fails before memory is spent on it.
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind = 0;
        if (!elementList.ReadVarint32(kind) || kind < 1 || kind > 7)
            return kCorruptPatch;
        m_patchers.push_back(std::make_unique<PatcherX86_32>(m_oldData, m_oldSize));
    }
    for (const std::unique_ptr<TransformationPatcher> &patcher : m_patchers) {
        if (patcher->ReadBounds(elementList) != kPatchOk)
            return kBadElement;
    }
    return elementList.Empty() ? kPatchOk : kCorruptPatch;
}

PatchStatus EnsembleApplier::CorrectParameters(ByteSource &diff)
{
    ByteSinkSet predicted;
    for (const std::unique_ptr<TransformationPatcher> &patcher : m_patchers) {
        ByteSinkSet parameters;
        const PatchStatus status = patcher->PredictParameters(parameters);
        if (status != kPatchOk)
            return status;
        if (!predicted.WriteSet(parameters))
            return kStreamError;
    }
    ByteSink predictedBytes;
    if (!predicted.CopyTo(predictedBytes))
        return kStreamError;
    ByteSource predictedSource(predictedBytes.Data(), predictedBytes.Length());
    if (!ApplyDiffStream(predictedSource, diff, m_correctedParameterBytes, false))
        return kPatchFailed;
    if (!m_correctedParameters.Init(m_correctedParameterBytes.Data(), m_correctedParameterBytes.Length()))
        return kStreamError;
    return kPatchOk;
}

PatchStatus EnsembleApplier::TransformElements()
{
    for (const std::unique_ptr<TransformationPatcher> &patcher : m_patchers) {
        ByteSourceSet parameters;
        if (!m_correctedParameters.ReadSet(parameters))
            return kStreamError;
        ByteSinkSet encoded;
        const PatchStatus status = patcher->ToEncodedForm(parameters, encoded);
        if (status != kPatchOk)
            return status;
        if (!parameters.Empty())
            return kStreamNotConsumed;
        if (!m_transformed.WriteSet(encoded))
            return kStreamError;
    }
    return m_correctedParameters.Empty() ? kPatchOk : kStreamNotConsumed;
}

PatchStatus EnsembleApplier::CorrectEncodedPrograms(ByteSource &diff)
{
    ByteSink transformedBytes;
    if (!m_transformed.CopyTo(transformedBytes))
        return kStreamError;
    ByteSource transformedSource(transformedBytes.Data(), transformedBytes.Length());
    // The corrected programs are about as large as the transformed ones (see Apply on reserving).
    const size_t expected = transformedBytes.Length() + transformedBytes.Length() / 4;
    if (!m_correctedProgramBytes.Reserve(std::min(expected, kMaxEnsembleReservation)))
        return kStreamError;
    if (!ApplyDiffStream(transformedSource, diff, m_correctedProgramBytes, false))
        return kPatchFailed;
    if (!m_correctedPrograms.Init(m_correctedProgramBytes.Data(), m_correctedProgramBytes.Length()))
        return kStreamError;
    return kPatchOk;
}

PatchStatus EnsembleApplier::BuildEnsemble()
{
    if (!m_oldInEnsemble) {
        const size_t reservation = std::min<size_t>(m_header.ensembleSizePrediction, kMaxEnsembleReservation);
        if (!m_ensemble.Reserve(std::max(reservation, m_oldSize)) || !m_ensemble.Write(m_oldData, m_oldSize))
            return kStreamError;
    }
    for (const std::unique_ptr<TransformationPatcher> &patcher : m_patchers) {
        ByteSourceSet program;
        if (!m_correctedPrograms.ReadSet(program))
            return kStreamError;
        const PatchStatus status = patcher->FromEncodedForm(program, m_ensemble);
        if (status != kPatchOk)
            return status;
        if (!program.Empty())
            return kStreamNotConsumed;
    }
    if (!m_correctedPrograms.Empty())
        return kStreamNotConsumed;
    m_correctedPrograms.Reset();
    m_correctedProgramBytes.Clear();
    return kPatchOk;
}

PatchStatus ApplyEnsemblePatchToBuffer(const uint8_t *oldData, size_t oldSize, const uint8_t *patchData,
                                       size_t patchSize, ByteSink &out)
{
    EnsembleApplier applier(oldData, oldSize);
    return applier.Apply(ByteSource(patchData, patchSize), out);
}

PatchStatus ApplyEnsemblePatch(const char *oldPath, const char *patchPath, const char *newPath)
{
    MappedFile patch;
    if (!patch.Open(patchPath))
        return kPatchUnreadable;
    EnsemblePatchHeader header;
    ByteSource headerSource(patch.Data(), patch.Size());
    const PatchStatus headerStatus = header.Read(headerSource);
    if (headerStatus != kPatchOk)
        return headerStatus;
    // Read rather than mapped: the old bytes become the start of the ensemble
    // instead of being copied there.
    ByteSink ensemble;
    const size_t prediction = std::min<size_t>(header.ensembleSizePrediction, kMaxEnsembleReservation);
    if (!ReadWholeFile(oldPath, prediction, ensemble))
        return kFileIoError;

    ByteSink out;
    EnsembleApplier applier(std::move(ensemble));
    const PatchStatus status = applier.Apply(ByteSource(patch.Data(), patch.Size()), out);
    if (status != kPatchOk)
        return status;

    std::FILE *file = std::fopen(newPath, "wb");
    size_t written = 0;
    if (file != nullptr) {
        written = out.Length() == 0 ? 0 : std::fwrite(out.Data(), 1, out.Length(), file);
        if (std::fclose(file) != 0)
            written = 0;
    }
    return file != nullptr && written == out.Length() ? kPatchOk : kFileIoError;
}

} // namespace vxpatch
