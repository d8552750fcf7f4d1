#ifndef VX_TESTS_DISASM_ELFFIXTURE_H
#define VX_TESTS_DISASM_ELFFIXTURE_H

#include "littleendian.h"

#include <QByteArray>
#include <QVector>
#include <cstdint>

// Small ELF images built byte by byte. Section i (counting from 1, after the
// null section) lies at file offset kSlot * i, is at most kSlot bytes long and
// has the address kElfBase + its offset; one program header maps the whole
// file. The section header table follows the last section.
namespace elffixture {

constexpr uint32_t kElfBase = 0x8000;
constexpr uint32_t kSlot = 0x1000;

enum : uint32_t
{
    SHT_PROGBITS = 1,
    SHT_SYMTAB = 2,
    SHT_NOBITS = 8,
    SHT_REL = 9,
    SHT_INIT_ARRAY = 14,
};

struct Section
{
    uint32_t type = SHT_PROGBITS;
    QByteArray bytes;
    uint32_t entrySize = 0;
};

inline uint32_t sectionOffset(int index)
{
    return kSlot * uint32_t(index);
}

inline uint32_t sectionAddress(int index)
{
    return kElfBase + sectionOffset(index);
}

using namespace littleendian;

// An Elf32_Rel entry.
inline QByteArray rel(uint32_t offset, uint32_t info)
{
    return le32(offset) + le32(info);
}

// x86 call rel32 at `from` (address of the E8 byte) to `to`.
inline QByteArray call(uint32_t from, uint32_t to)
{
    return QByteArray(1, char(0xE8)) + le32(to - (from + 5));
}

// The 32-bit image: machine 3 (x86) or 40 (ARM). `elfType` 2 is an executable.
inline QByteArray elf32(uint16_t machine, const QVector<Section> &sections, uint16_t elfType = 3)
{
    const int count = sections.size() + 1;
    const int tableOffset = int(sectionOffset(count));
    QByteArray image(tableOffset + count * 40, '\0');
    image[0] = char(0x7F);
    image[1] = 'E';
    image[2] = 'L';
    image[3] = 'F';
    image[4] = 1; // ELFCLASS32
    image[5] = 1; // little endian
    image[6] = 1;
    put16(image, 16, elfType);
    put16(image, 18, machine);
    put32(image, 20, 1);
    put32(image, 28, 52);                    // e_phoff
    put32(image, 32, uint32_t(tableOffset)); // e_shoff
    put16(image, 40, 52);
    put16(image, 42, 32);
    put16(image, 44, 1);
    put16(image, 46, 40);
    put16(image, 48, uint16_t(count));

    // PT_LOAD of the whole file.
    put32(image, 52, 1);
    put32(image, 52 + 4, 0);
    put32(image, 52 + 8, kElfBase);
    put32(image, 52 + 12, kElfBase);
    put32(image, 52 + 16, uint32_t(image.size()));
    put32(image, 52 + 20, uint32_t(image.size()));

    for (int i = 1; i < count; ++i) {
        const Section &section = sections[i - 1];
        const int header = tableOffset + 40 * i;
        put32(image, header + 4, section.type);
        put32(image, header + 12, sectionAddress(i));
        put32(image, header + 16, sectionOffset(i));
        put32(image, header + 20, uint32_t(section.bytes.size()));
        put32(image, header + 36, section.entrySize);
        if (section.type != SHT_NOBITS)
            image.replace(int(sectionOffset(i)), section.bytes.size(), section.bytes);
    }
    return image;
}

// The 64-bit image for machine 62 (x86-64).
inline QByteArray elf64(const QVector<Section> &sections, uint16_t machine = 62)
{
    const int count = sections.size() + 1;
    const int tableOffset = int(sectionOffset(count));
    QByteArray image(tableOffset + count * 64, '\0');
    image[0] = char(0x7F);
    image[1] = 'E';
    image[2] = 'L';
    image[3] = 'F';
    image[4] = 2; // ELFCLASS64
    image[5] = 1;
    image[6] = 1;
    put16(image, 16, 3);
    put16(image, 18, machine);
    put32(image, 20, 1);
    put64(image, 32, 64);          // e_phoff
    put64(image, 40, tableOffset); // e_shoff
    put16(image, 52, 64);
    put16(image, 54, 56);
    put16(image, 56, 1);
    put16(image, 58, 64);
    put16(image, 60, uint16_t(count));

    put32(image, 64, 1);
    put64(image, 64 + 8, 0);
    put64(image, 64 + 16, kElfBase);
    put64(image, 64 + 24, kElfBase);
    put64(image, 64 + 32, uint64_t(image.size()));
    put64(image, 64 + 40, uint64_t(image.size()));

    for (int i = 1; i < count; ++i) {
        const Section &section = sections[i - 1];
        const int header = tableOffset + 64 * i;
        put32(image, header + 4, section.type);
        put64(image, header + 16, sectionAddress(i));
        put64(image, header + 24, sectionOffset(i));
        put64(image, header + 32, uint64_t(section.bytes.size()));
        put64(image, header + 56, section.entrySize);
        if (section.type != SHT_NOBITS)
            image.replace(int(sectionOffset(i)), section.bytes.size(), section.bytes);
    }
    return image;
}

} // namespace elffixture

#endif
