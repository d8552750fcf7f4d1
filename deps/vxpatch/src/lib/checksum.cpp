#include "streams.h"

#include <array>

namespace vxpatch {

namespace {

// Table k maps a byte to its CRC advanced by k further zero bytes, so that the
// main loop can take eight bytes per step.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

Tables makeTables()
{
    Tables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1)));
        tables[0][i] = r;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (size_t k = 1; k < tables.size(); ++k)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
    }
    return tables;
}

} // namespace

uint32_t CalculateChecksum(const void *data, size_t length)
{
    // Built once, thread-safely: the patch and unpack workers run on pool threads.
    static const Tables t = makeTables();
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t crc = 0xFFFFFFFFu;
    for (; length >= 8; p += 8, length -= 8) {
        const uint32_t low =
            crc ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; length != 0; ++p, --length)
        crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return crc;
}

} // namespace vxpatch
