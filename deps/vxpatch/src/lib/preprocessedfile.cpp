#include "preprocessedfile.h"

#include "diffstream.h"
#include "encodedprogram.h"
#include "logmessage.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "streams.h"

#include <cstdio>

namespace vxpatch {

namespace {

// Rebuilds the file of a directive 2 payload: the executables assembled from
// their encoded programs are the old bytes of the diff in the last stream.
bool rebuildDisassembledFile(const ByteSink &payload, ByteSink &out)
{
    ByteSourceSet set;
    if (!set.Init(payload.Data(), payload.Length())) {
        LogError("could not init dif_and_dis set");
        return false;
    }
    if (set.count() < 2) {
        LogError("dis_and_diff too small");
        return false;
    }
    ByteSink assembled;
    for (size_t i = 0; i + 1 < set.count(); ++i) {
        ByteSourceSet programStreams;
        const ByteSource &stream = set.stream(i);
        if (!programStreams.Init(stream.Position(), stream.Remaining())) {
            LogError("could not init program_source set");
            return false;
        }
        std::unique_ptr<EncodedProgram> program;
        if (ReadEncodedProgram(programStreams, program) != kPatchOk) {
            LogError("could not read encoded program");
            return false;
        }
        if (program->Assemble(assembled) != kPatchOk) {
            LogError("could not assemble program");
            return false;
        }
    }
    if (!ApplyDiffStream(ByteSource(assembled.Data(), assembled.Length()), set.stream(set.count() - 1), out,
                         false)) {
        LogError("could not apply diff");
        return false;
    }
    return true;
}

} // namespace

bool DecompressPreprocessedData(const void *data, size_t length, ByteSink &out,
                                const std::function<void(const uint8_t *)> &consumed)
{
    ByteSource input(data, length);
    uint32_t magic;
    uint32_t checksum;
    uint32_t directive;
    if (!input.ReadVarint32(magic) || !input.ReadVarint32(checksum) || !input.ReadVarint32(directive)) {
        LogError("could not read lzma header");
        return false;
    }
    if (magic != kPreprocessedFileMagic) {
        LogError("not lzma file");
        return false;
    }
    const size_t base = out.Length();
    if (directive == kDirectiveCompressed) {
        if (!input.ReadLzma2Block(out, consumed)) {
            LogError("could not decompress file");
            return false;
        }
    } else if (directive == kDirectiveDisassembleAndDiff) {
        ByteSink payload;
        if (!input.ReadLzma2Block(payload, consumed)) {
            LogError("could not decompress file");
            return false;
        }
        if (!rebuildDisassembledFile(payload, out))
            return false;
    } else {
        LogError("Unknown preprocessing dirrective");
        return false;
    }
    if (CalculateChecksum(out.Data() + base, out.Length() - base) != checksum) {
        LogError("crc mismatch");
        return false;
    }
    return true;
}

bool DecompressPreprocessedFile(const char *inputPath, const char *outputPath)
{
    ByteSink out;
    {
        MappedFile input;
        if (!input.Open(inputPath)) {
            LogError("could not open lzma file");
            return false;
        }
        // The input is read once, front to back: what the decoder has used
        // need not stay in memory next to the output and the dictionary.
        const auto release = [&input](const uint8_t *position) { input.ReleaseBefore(position); };
        if (!DecompressPreprocessedData(input.Data(), input.Size(), out, release))
            return false;
    }
    FILE *file = std::fopen(outputPath, "wb");
    if (!file) {
        LogError("could not write output file");
        return false;
    }
    const size_t written = out.Length() == 0 ? 0 : std::fwrite(out.Data(), 1, out.Length(), file);
    // A failed close can lose buffered bytes as surely as a short write.
    const bool closed = std::fclose(file) == 0;
    if (written != out.Length() || !closed) {
        LogError("could not write output file");
        return false;
    }
    return true;
}

bool WritePreprocessedPayload(PreprocessingDirective directive, uint32_t checksum, const void *payload,
                              size_t payloadLength, ByteSink &out)
{
    return out.WriteVarint32(kPreprocessedFileMagic) && out.WriteVarint32(checksum) &&
           out.WriteVarint32(directive) && WriteLzma2Block(payload, payloadLength, out);
}

bool WritePreprocessedFile(const void *data, size_t length, ByteSink &out)
{
    return WritePreprocessedPayload(kDirectiveCompressed, CalculateChecksum(data, length), data, length, out);
}

} // namespace vxpatch
