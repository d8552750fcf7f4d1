#include "ensemblepatchgenerator.h"

#include "diffstreamgenerator.h"
#include "elementfinder.h"
#include "encodedprogram.h"
#include "ensembleapplier.h"
#include "executabledetection.h"
#include "instructionprogram.h"
#include "labelmatcher.h"
#include "lzmaioout.h"
#include "patcherx86_32.h"
#include "streams.h"

#include <cstring>
#include <memory>

namespace vxpatch {

namespace {

using Pair = EnsemblePatchSummary::Pair;

constexpr size_t kMaxDiffInput = size_t(1) << 31;

// For each new element, the old element of the same type whose length is closest.
std::vector<Pair> PairElements(const std::vector<Element> &oldElements,
                               const std::vector<Element> &newElements)
{
    std::vector<Pair> pairs;
    for (const Element &added : newElements) {
        const Element *best = nullptr;
        size_t bestDistance = 0;
        for (const Element &old : oldElements) {
            if (old.type != added.type)
                continue;
            const size_t distance =
                old.length > added.length ? old.length - added.length : added.length - old.length;
            if (best == nullptr || distance < bestDistance) {
                best = &old;
                bestDistance = distance;
            }
        }
        if (best != nullptr)
            pairs.push_back(Pair{added.type, best->offset, best->length, added.offset, added.length});
    }
    return pairs;
}

// The new element's encoded program, its labels numbered after the old element's.
PatchStatus EncodeNewElement(const uint8_t *oldData, const uint8_t *newData, const Pair &pair,
                             ByteSinkSet &programs)
{
    std::unique_ptr<InstructionProgram> oldProgram;
    std::unique_ptr<InstructionProgram> newProgram;
    PatchStatus status = DisassembleElement(oldData + pair.oldOffset, pair.oldLength, oldProgram);
    if (status != kPatchOk)
        return status;
    if ((status = DisassembleElement(newData + pair.newOffset, pair.newLength, newProgram)) != kPatchOk)
        return status;
    if (!oldProgram->TrimLabels() || !newProgram->TrimLabels())
        return kTrimLabelsFailed;
    if (!MatchLabels(*oldProgram, *newProgram))
        return kStreamError;
    std::unique_ptr<EncodedProgram> encoded = newProgram->Encode();
    if (!encoded)
        return kPatchFailed;
    ByteSinkSet streams;
    if ((status = encoded->WriteTo(streams)) != kPatchOk)
        return status;
    return programs.WriteSet(streams) ? kPatchOk : kStreamError;
}

// The old element's encoded program exactly as the applier makes it.
PatchStatus EncodeOldElement(const uint8_t *oldData, size_t oldSize, const Pair &pair,
                             ByteSinkSet &transformed)
{
    ByteSink bounds;
    if (!bounds.WriteSizeVarint32(pair.oldOffset) || !bounds.WriteSizeVarint32(pair.oldLength))
        return kStreamError;
    ByteSource boundsSource(bounds.Data(), bounds.Length());
    PatcherX86_32 patcher(oldData, oldSize);
    PatchStatus status = patcher.ReadBounds(boundsSource);
    if (status != kPatchOk)
        return status;
    ByteSourceSet parameters;
    ByteSinkSet streams;
    if ((status = patcher.ToEncodedForm(parameters, streams)) != kPatchOk)
        return status;
    return transformed.WriteSet(streams) ? kPatchOk : kStreamError;
}

// Appends the executables assembled from the serialized program set, in element order.
PatchStatus AssemblePrograms(const ByteSink &programBytes, size_t count, ByteSink &ensemble)
{
    ByteSourceSet programs;
    if (!programs.Init(programBytes.Data(), programBytes.Length()))
        return kStreamError;
    for (size_t i = 0; i < count; ++i) {
        ByteSourceSet program;
        std::unique_ptr<EncodedProgram> encoded;
        if (!programs.ReadSet(program))
            return kStreamError;
        if (ReadEncodedProgram(program, encoded) != kPatchOk)
            return kBadEncodedProgram;
        if (encoded->Assemble(ensemble) != kPatchOk)
            return kAssemblyFailed;
    }
    return kPatchOk;
}

// The diffs compress their own blocks (method 1): the applier then holds only
// the diff it is applying in decoded form, not all three at once, and the
// patch is no larger than with plain blocks inside the compressed body.
bool Diff(const ByteSink &from, const ByteSink &to, ByteSink &out)
{
    return GenerateDiffStream(from.Data(), from.Length(), to.Data(), to.Length(), kDiffMethodLzma2Blocks,
                              false, out);
}

PatchStatus WritePatch(const uint8_t *oldData, size_t oldSize, const uint8_t *newData, size_t newSize,
                       const std::vector<Pair> &pairs, ByteSink &patch, EnsemblePatchSummary *summary)
{
    ByteSinkSet body;
    ByteSink &elementList = body.stream(0);
    bool ok = elementList.WriteSizeVarint32(pairs.size());
    for (const Pair &pair : pairs)
        ok = ok && elementList.WriteVarint32(uint32_t(pair.type));
    for (const Pair &pair : pairs)
        ok = ok && elementList.WriteSizeVarint32(pair.oldOffset) &&
             elementList.WriteSizeVarint32(pair.oldLength);
    if (!ok)
        return kStreamError;

    // The parameters are what the applier predicts: one empty set per element.
    ByteSinkSet predicted;
    for (size_t i = 0; i < pairs.size(); ++i) {
        ByteSinkSet none;
        if (!predicted.WriteSet(none))
            return kStreamError;
    }
    ByteSink parameterBytes;
    if (!predicted.CopyTo(parameterBytes) || !Diff(parameterBytes, parameterBytes, body.stream(1)))
        return kStreamError;

    ByteSinkSet transformed;
    ByteSinkSet programs;
    for (const Pair &pair : pairs) {
        PatchStatus status = EncodeOldElement(oldData, oldSize, pair, transformed);
        if (status != kPatchOk || (status = EncodeNewElement(oldData, newData, pair, programs)) != kPatchOk)
            return status;
    }
    ByteSink transformedBytes;
    ByteSink programBytes;
    if (!transformed.CopyTo(transformedBytes) || !programs.CopyTo(programBytes) ||
        !Diff(transformedBytes, programBytes, body.stream(2)))
        return kStreamError;
    transformedBytes.Clear();

    ByteSink ensemble;
    if (!ensemble.Write(oldData, oldSize))
        return kStreamError;
    const PatchStatus status = AssemblePrograms(programBytes, pairs.size(), ensemble);
    if (status != kPatchOk)
        return status;
    programBytes.Clear();
    if (ensemble.Length() >= kMaxDiffInput ||
        !GenerateDiffStream(ensemble.Data(), ensemble.Length(), newData, newSize, kDiffMethodLzma2Blocks,
                            false, body.stream(3)))
        return kStreamError;

    if (summary != nullptr) {
        for (int i = 0; i < 4; ++i)
            summary->streamSizes[i] = body.stream(i).Length();
    }
    ByteSink bodyBytes;
    if (!body.CopyTo(bodyBytes))
        return kStreamError;
    ok = patch.WriteVarint32(EnsemblePatchHeader::kMagic) &&
         patch.WriteVarint32(EnsemblePatchHeader::kVersion) &&
         patch.WriteVarint32(CalculateChecksum(oldData, oldSize)) &&
         patch.WriteVarint32(CalculateChecksum(newData, newSize)) &&
         patch.WriteSizeVarint32(ensemble.Length()) &&
         WriteLzma2Block(bodyBytes.Data(), bodyBytes.Length(), patch);
    return ok ? kPatchOk : kStreamError;
}

PatchStatus Verify(const uint8_t *oldData, size_t oldSize, const uint8_t *newData, size_t newSize,
                   const ByteSink &patch)
{
    ByteSink result;
    const PatchStatus status =
        ApplyEnsemblePatchToBuffer(oldData, oldSize, patch.Data(), patch.Length(), result);
    if (status != kPatchOk)
        return status;
    if (result.Length() != newSize || (newSize != 0 && std::memcmp(result.Data(), newData, newSize) != 0))
        return kChecksumMismatch;
    return kPatchOk;
}

} // namespace

PatchStatus GenerateEnsemblePatch(const uint8_t *oldData, size_t oldSize, const uint8_t *newData,
                                  size_t newSize, ByteSink &patch, EnsemblePatchSummary *summary)
{
    // Diff positions are signed 32-bit.
    if (oldSize >= kMaxDiffInput || newSize >= kMaxDiffInput)
        return kStreamError;
    const std::vector<Element> oldElements = FindElements(oldData, oldSize);
    const std::vector<Element> newElements = FindElements(newData, newSize);
    std::vector<Pair> pairs = PairElements(oldElements, newElements);
    if (summary != nullptr) {
        *summary = EnsemblePatchSummary();
        summary->oldElements = oldElements.size();
        summary->newElements = newElements.size();
    }

    ByteSink candidate;
    PatchStatus status = WritePatch(oldData, oldSize, newData, newSize, pairs, candidate, summary);
    if (status == kPatchOk)
        status = Verify(oldData, oldSize, newData, newSize, candidate);
    if (status != kPatchOk && !pairs.empty()) {
        // Never hand out a patch that does not apply; the final diff alone always can.
        pairs.clear();
        candidate.Clear();
        if (summary != nullptr)
            summary->fellBack = true;
        status = WritePatch(oldData, oldSize, newData, newSize, pairs, candidate, summary);
        if (status == kPatchOk)
            status = Verify(oldData, oldSize, newData, newSize, candidate);
    }
    if (status != kPatchOk)
        return status;
    if (summary != nullptr)
        summary->pairs = pairs;
    return patch.Append(candidate) ? kPatchOk : kStreamError;
}

} // namespace vxpatch
