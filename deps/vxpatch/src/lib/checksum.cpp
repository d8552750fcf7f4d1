#include "streams.h"

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VXPATCH_CLMUL_CHECKSUM 1
#endif

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

uint32_t updateWithTables(uint32_t crc, const uint8_t *p, size_t length)
{
    // Built once, thread-safely: the patch and unpack workers run on pool threads.
    static const Tables t = makeTables();
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

#ifdef VXPATCH_CLMUL_CHECKSUM

// Below this the set-up of the folding costs more than the tables.
constexpr size_t kClmulMinimum = 64;

// One 128-bit lane folded over 128 (or, with the other constants, 512) bits and
// merged with the next data.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i lane, __m128i constants, __m128i next)
{
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// Carry-less multiplication folds 64 bytes per step, about ten times the speed
// of the tables; the unpacker checksums every output byte. Needs length >= 64.
// The constants are x^k mod P (bit-reflected) for the fold distances, and the
// Barrett pair that reduces the last 64 bits to the 32-bit register.
__attribute__((target("pclmul,sse4.1"))) uint32_t updateWithClmul(uint32_t crc, const uint8_t *p,
                                                                  size_t length)
{
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i polyMu = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    auto load = [](const uint8_t *at) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at)); };

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(crc)));
    __m128i x2 = load(p + 16);
    __m128i x3 = load(p + 32);
    __m128i x4 = load(p + 48);
    p += 64;
    length -= 64;
    for (; length >= 64; p += 64, length -= 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    for (; length >= 16; p += 16, length -= 16)
        x1 = fold(x1, k3k4, load(p));

    // 128 -> 64 bits, appending the 32 zero bits a CRC implies.
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(k3k4, x1, 0x01), _mm_srli_si128(x1, 8));
    // 64 -> 32 bits.
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00), _mm_srli_si128(x1, 4));
    // Barrett reduction.
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), polyMu, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), polyMu, 0x00);
    crc = uint32_t(_mm_extract_epi32(_mm_xor_si128(t, x1), 1));
    return length == 0 ? crc : updateWithTables(crc, p, length);
}

bool hasClmul()
{
    static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return supported;
}

#endif

} // namespace

uint32_t CalculateChecksum(const void *data, size_t length)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
#ifdef VXPATCH_CLMUL_CHECKSUM
    if (length >= kClmulMinimum && hasClmul())
        return updateWithClmul(0xFFFFFFFFu, p, length);
#endif
    return updateWithTables(0xFFFFFFFFu, p, length);
}

} // namespace vxpatch
