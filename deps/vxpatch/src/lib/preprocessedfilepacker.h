#ifndef VXPATCH_PREPROCESSEDFILEPACKER_H
#define VXPATCH_PREPROCESSEDFILEPACKER_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

class ByteSink;

// The "dis_and_diff" payload of a file with executables: one encoded program
// per executable (at most 9, the rest is left to the diff), then a plain diff
// from the assembled executables to the file. False when the file holds no
// executable or memory runs out; `payload` is then unspecified.
bool BuildDisassembledPayload(const uint8_t *data, size_t size, ByteSink &payload);

// Appends a preprocessed file holding `data` to `out`: directive 2 when the
// file contains executables, directive 1 otherwise. A directive 2 file is
// unpacked in memory before it is kept; should it not give back the exact
// bytes, directive 1 is written instead.
bool WritePackedFile(const void *data, size_t size, ByteSink &out);

} // namespace vxpatch

#endif
