#ifndef VX_TESTS_DISASM_LITTLEENDIAN_H
#define VX_TESTS_DISASM_LITTLEENDIAN_H

#include <QByteArray>
#include <cstdint>

// Little-endian fields for the executable images the disassembler tests build.
namespace littleendian {

inline void put16(QByteArray &image, int at, uint16_t value)
{
    image[at] = char(value);
    image[at + 1] = char(value >> 8);
}

inline void put32(QByteArray &image, int at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        image[at + i] = char(value >> (8 * i));
}

inline void put64(QByteArray &image, int at, uint64_t value)
{
    put32(image, at, uint32_t(value));
    put32(image, at + 4, uint32_t(value >> 32));
}

inline QByteArray le16(uint16_t value)
{
    QByteArray bytes(2, '\0');
    put16(bytes, 0, value);
    return bytes;
}

inline QByteArray le32(uint32_t value)
{
    QByteArray bytes(4, '\0');
    put32(bytes, 0, value);
    return bytes;
}

} // namespace littleendian

#endif
