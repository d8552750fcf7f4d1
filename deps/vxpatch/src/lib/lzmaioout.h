#ifndef VXPATCH_LZMAIOOUT_H
#define VXPATCH_LZMAIOOUT_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

class ByteSink;

// Appends an LZMA2 block of the data to `out`: the dictionary property byte,
// the data's length as varint32 and the LZMA2 stream with its end marker, as
// ByteSource::ReadLzma2Block reads it. Compresses at the strongest level, with
// the dictionary no larger than the data needs. False, with a line in the
// patcher log, when the encoder or the sink fails.
bool WriteLzma2Block(const void *data, size_t length, ByteSink &out);

// The smallest LZMA2 property byte whose dictionary holds `dictionarySize` bytes.
uint8_t Lzma2PropertyForDictionary(uint32_t dictionarySize);

} // namespace vxpatch

#endif
