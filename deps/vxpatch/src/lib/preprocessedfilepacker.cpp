#include "preprocessedfilepacker.h"

#include "diffstreamgenerator.h"
#include "elementfinder.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "instructionprogram.h"
#include "preprocessedfile.h"
#include "streams.h"

#include <cstring>
#include <memory>

namespace vxpatch {

namespace {

// A set has 10 streams and the last one holds the diff.
constexpr size_t kMaxPrograms = ByteSinkSet::kMaxStreams - 1;

// Writes the element's encoded program as a serialized set into `stream` and
// appends the executable assembled from it to `assembled`.
bool PackElement(const uint8_t *data, const Element &element, ByteSink &stream, ByteSink &assembled)
{
    std::unique_ptr<InstructionProgram> program;
    if (DisassembleElement(data + element.offset, element.length, program) != kPatchOk ||
        !program->TrimLabels())
        return false;
    std::unique_ptr<EncodedProgram> encoded = program->Encode();
    if (!encoded)
        return false;
    ByteSinkSet streams;
    if (encoded->WriteTo(streams) != kPatchOk || !streams.CopyTo(stream))
        return false;
    return encoded->Assemble(assembled) == kPatchOk;
}

} // namespace

bool BuildDisassembledPayload(const uint8_t *data, size_t size, ByteSink &payload)
{
    std::vector<Element> elements = FindElements(data, size);
    if (elements.empty())
        return false;
    if (elements.size() > kMaxPrograms)
        elements.resize(kMaxPrograms);

    // The reader takes every stream but the last as a program, so the set
    // records exactly as many streams as there are programs plus the diff.
    std::vector<ByteSink> streams(elements.size() + 1);
    ByteSink assembled;
    for (size_t i = 0; i < elements.size(); ++i) {
        if (!PackElement(data, elements[i], streams[i], assembled))
            return false;
    }
    if (!GenerateDiffStream(assembled.Data(), assembled.Length(), data, size, kDiffMethodPlain, false,
                            streams.back()))
        return false;
    bool ok = payload.WriteVarint32(ByteSinkSet::kMagic) && payload.WriteSizeVarint32(streams.size());
    for (const ByteSink &stream : streams)
        ok = ok && payload.WriteSizeVarint32(stream.Length());
    for (ByteSink &stream : streams)
        ok = ok && payload.Append(stream);
    return ok;
}

bool WritePackedFile(const void *data, size_t size, ByteSink &out)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    ByteSink payload;
    if (BuildDisassembledPayload(bytes, size, payload)) {
        ByteSink packed;
        ByteSink unpacked;
        if (WritePreprocessedPayload(kDirectiveDisassembleAndDiff, CalculateChecksum(data, size),
                                     payload.Data(), payload.Length(), packed) &&
            DecompressPreprocessedData(packed.Data(), packed.Length(), unpacked) &&
            unpacked.Length() == size && (size == 0 || std::memcmp(unpacked.Data(), data, size) == 0))
            return out.Append(packed);
    }
    return WritePreprocessedFile(data, size, out);
}

} // namespace vxpatch
