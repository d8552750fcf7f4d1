#ifndef VXPATCH_PREPROCESSEDFILE_H
#define VXPATCH_PREPROCESSEDFILE_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vxpatch {

class ByteSink;

// Header: magic, checksum of the unpacked file, directive; then one LZMA2 block.
constexpr uint32_t kPreprocessedFileMagic = 132781929;

// How the payload of a preprocessed file was prepared.
enum PreprocessingDirective
{
    // The payload is the file itself.
    kDirectiveCompressed = 1,
    // The payload is a stream set: one encoded program per executable found in
    // the file, then a diff (method 0, no header) from the assembled executables
    // to the file.
    kDirectiveDisassembleAndDiff = 2,
};

// Unpacks a preprocessed LZMA2 file into `outputPath` (created or truncated)
// after checking the checksum of the result. The input is memory-mapped and
// never changed; the output is written with one write. False, with a line in
// the patcher log, on any failure; only a short write leaves an output behind.
bool DecompressPreprocessedFile(const char *inputPath, const char *outputPath);

// The same over bytes in memory: appends the unpacked file to `out`.
// `consumed` is told, as the payload is decoded, where the input bytes end that
// are no longer needed.
bool DecompressPreprocessedData(const void *data, size_t length, ByteSink &out,
                                const std::function<void(const uint8_t *)> &consumed = {});

// Appends a preprocessed file of directive 1 holding `data` to `out`.
bool WritePreprocessedFile(const void *data, size_t length, ByteSink &out);

// Appends a preprocessed file with the given directive, the checksum of the
// unpacked file and the payload (compressed here) to `out`. The building block
// of every directive's writer.
bool WritePreprocessedPayload(PreprocessingDirective directive, uint32_t checksum, const void *payload,
                              size_t payloadLength, ByteSink &out);

} // namespace vxpatch

#endif
