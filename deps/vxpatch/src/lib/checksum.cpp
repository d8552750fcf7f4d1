#include "streams.h"

#include <array>

namespace vxpatch {

namespace {

std::array<uint32_t, 256> makeTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1)));
        table[i] = r;
    }
    return table;
}

} // namespace

uint32_t CalculateChecksum(const void *data, size_t length)
{
    // Built once, thread-safely: the patch and unpack workers run on pool threads.
    static const std::array<uint32_t, 256> table = makeTable();
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

} // namespace vxpatch
