#include "encodedprogram.h"

#include "streams.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace vxpatch {

namespace {

constexpr uint32_t kLabelMarker = 0xFFFFFFFFu;
// Every relocation block covers one 4 KiB page.
constexpr size_t kMaxPeBlockEntries = 4096;

template <typename T> bool push(std::vector<T> &vector, T value)
{
    try {
        vector.push_back(value);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

bool defineLabel(std::vector<uint32_t> &rvas, int32_t index, uint32_t rva)
{
    if (index < 0)
        return false;
    try {
        if (rvas.size() <= size_t(index))
            rvas.resize(size_t(index) + 1, kLabelMarker);
    } catch (const std::bad_alloc &) {
        return false;
    }
    rvas[size_t(index)] = rva;
    return true;
}

void fillLabelHoles(std::vector<uint32_t> &rvas)
{
    uint32_t previous = 0;
    for (uint32_t &rva : rvas) {
        if (rva == kLabelMarker)
            rva = previous;
        previous = rva;
    }
}

bool writeU32Vector(ByteSink &sink, const std::vector<uint32_t> &values)
{
    if (!sink.WriteSizeVarint32(values.size()))
        return false;
    for (uint32_t value : values) {
        if (!sink.WriteVarint32(value))
            return false;
    }
    return true;
}

bool writeDeltaVector(ByteSink &sink, const std::vector<uint32_t> &values)
{
    if (!sink.WriteSizeVarint32(values.size()))
        return false;
    uint32_t previous = 0;
    for (uint32_t value : values) {
        if (!sink.WriteVarint32(value - previous))
            return false;
        previous = value;
    }
    return true;
}

// Reads a count and that many values. The count is checked against the bytes
// present before anything is allocated: every value takes at least one byte.
bool readU32Vector(ByteSource &source, std::vector<uint32_t> &values, bool deltas)
{
    uint32_t count;
    if (!source.ReadVarint32(count) || count > source.Remaining())
        return false;
    try {
        values.reserve(count);
    } catch (const std::bad_alloc &) {
        return false;
    }
    uint32_t previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value;
        if (!source.ReadVarint32(value))
            return false;
        if (deltas)
            value += previous;
        values.push_back(value);
        previous = value;
    }
    return true;
}

// A length-prefixed run of bytes, left where it is.
bool readByteRun(ByteSource &source, const uint8_t *&bytes, size_t &length)
{
    uint32_t count;
    if (!source.ReadVarint32(count) || count > source.Remaining())
        return false;
    bytes = source.Position();
    length = count;
    return source.Skip(count);
}

bool write16(ByteSink &sink, uint32_t value)
{
    const uint8_t bytes[] = {uint8_t(value), uint8_t(value >> 8)};
    return sink.Write(bytes, sizeof bytes);
}

bool write32(ByteSink &sink, uint32_t value)
{
    const uint8_t bytes[] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return sink.Write(bytes, sizeof bytes);
}

bool isArmOp(uint32_t op)
{
    const uint32_t low = op & 0xFFFF;
    return low >= 0x1000 && low <= 0x5FFF;
}

// Re-encodes a compressed ARM branch so that it reaches address + distance.
// Returns the instruction's size in bytes.
uint16_t writeArmBranch(ByteSink &sink, uint16_t op, uint32_t distance, bool &ok)
{
    const uint32_t d = distance;
    switch (op >> 12) {
    case 1:
        ok = write16(sink, ((op & 0xFFu) << 8) | (((d - 4) >> 1) & 0xFF));
        return 2;
    case 2:
        ok = write16(sink, ((op & 0xFFFu) << 11) | (((d - 4) >> 1) & 0x7FF));
        return 2;
    case 3:
        ok = write32(sink, ((op & 0xFFu) << 24) | (((d - 8) >> 2) & 0xFFFFFF));
        return 4;
    case 4: {
        const uint32_t e = d - ((op >> 8) & 0xF);
        const uint32_t x = ((uint32_t(op) >> 3) << 27) | (((op >> 1) & 3u) << 14) | ((op & 1u) << 12) |
                           ((e >> 1) & 0x7FF) | (((e >> 12) & 0x3FF) << 16) | (((e >> 24) & 1) << 26) |
                           ((~((e >> 22) ^ (e >> 24)) & 1) << 11) | ((~((e >> 23) ^ (e >> 24)) & 1) << 13);
        ok = write16(sink, x >> 16) && write16(sink, x);
        return 4;
    }
    default: {
        const uint32_t e = d - 4;
        const uint32_t x = 0xF0008000u | ((op & 0xFu) << 22) | (((e >> 20) & 1) << 26) |
                           (((e >> 19) & 1) << 13) | (((e >> 18) & 1) << 11) | (((e >> 12) & 0x3F) << 16) |
                           ((e >> 1) & 0x7FF);
        ok = write16(sink, x >> 16) && write16(sink, x);
        return 4;
    }
    }
}

} // namespace

bool EncodedProgram::DefineAbs32Label(int32_t index, uint32_t rva)
{
    return defineLabel(m_abs32Rvas, index, rva);
}

bool EncodedProgram::DefineRel32Label(int32_t index, uint32_t rva)
{
    return defineLabel(m_rel32Rvas, index, rva);
}

void EncodedProgram::EndLabels()
{
    fillLabelHoles(m_abs32Rvas);
    fillLabelHoles(m_rel32Rvas);
}

bool EncodedProgram::Reserve(size_t ops, size_t origins, size_t copyBytes, size_t abs32, size_t rel32)
{
    try {
        m_ops.reserve(ops);
        m_origins.reserve(origins);
        m_copyBytes.reserve(copyBytes);
        m_abs32Ix.reserve(abs32);
        m_rel32Ix.reserve(rel32);
    } catch (const std::bad_alloc &) {
        return false;
    } catch (const std::length_error &) {
        return false;
    }
    return true;
}

bool EncodedProgram::AddOrigin(uint32_t rva)
{
    return push(m_ops, uint32_t(ORIGIN)) && push(m_origins, rva);
}

bool EncodedProgram::AddCopy(size_t n, const uint8_t *bytes)
{
    // A program that was read borrows its bytes and is not built on.
    if (m_borrowedCopyBytes != nullptr)
        return false;
    // Runs of copied bytes always end up in one copy op.
    if (!m_ops.empty() && m_ops.back() == COPY1) {
        if (!push(m_copyCounts, 1u))
            return false;
        m_ops.back() = COPY;
    }
    try {
        if (!m_ops.empty() && m_ops.back() == COPY) {
            if (n > UINT32_MAX - m_copyCounts.back())
                return false;
            m_copyCounts.back() += uint32_t(n);
        } else if (n == 1) {
            m_ops.push_back(COPY1);
        } else if (n > 1) {
            if (n > UINT32_MAX)
                return false;
            m_copyCounts.push_back(uint32_t(n));
            m_ops.push_back(COPY);
        }
        m_copyBytes.insert(m_copyBytes.end(), bytes, bytes + n);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

bool EncodedProgram::AddRel32(int32_t index)
{
    return push(m_ops, uint32_t(REL32)) && push(m_rel32Ix, uint32_t(index));
}

bool EncodedProgram::AddAbs32(int32_t index)
{
    return push(m_ops, uint32_t(ABS32)) && push(m_abs32Ix, uint32_t(index));
}

bool EncodedProgram::AddRel32Arm(uint16_t op, int32_t index)
{
    return push(m_ops, uint32_t(op)) && push(m_rel32Ix, uint32_t(index));
}

bool EncodedProgram::AddPeMakeRelocs(ExecutableType kind)
{
    return push(m_ops, uint32_t(kind == WIN_32_X86 ? MAKE_PE_RELOCATION_TABLE : MAKE_PE64_RELOCATION_TABLE));
}

bool EncodedProgram::AddElfMakeRelocs()
{
    return push(m_ops, uint32_t(MAKE_ELF_RELOCATION_TABLE));
}

bool EncodedProgram::AddElfArmMakeRelocs()
{
    return push(m_ops, uint32_t(MAKE_ELF_ARM_RELOCATION_TABLE));
}

PatchStatus EncodedProgram::WriteTo(ByteSinkSet &streams) const
{
    ByteSink &bytes = streams.stream(2);
    const bool ok =
        streams.stream(0).WriteVarint32(uint32_t(m_imageBase)) &&
        writeU32Vector(streams.stream(0), m_origins) && writeU32Vector(streams.stream(1), m_ops) &&
        bytes.WriteSizeVarint32(copy_size()) && bytes.Write(copy_data(), copy_size()) &&
        writeU32Vector(streams.stream(3), m_abs32Ix) && writeU32Vector(streams.stream(4), m_rel32Ix) &&
        writeDeltaVector(streams.stream(5), m_abs32Rvas) &&
        writeDeltaVector(streams.stream(6), m_rel32Rvas) && writeU32Vector(streams.stream(7), m_copyCounts);
    return ok ? kPatchOk : kStreamError;
}

PatchStatus ReadEncodedProgram(ByteSourceSet &streams, std::unique_ptr<EncodedProgram> &program)
{
    program.reset();
    std::unique_ptr<EncodedProgram> read(new (std::nothrow) EncodedProgram);
    if (!read)
        return kBadEncodedProgram;
    uint32_t imageBase;
    if (!streams.stream(0).ReadVarint32(imageBase))
        return kBadEncodedProgram;
    read->m_imageBase = imageBase;
    const bool ok = readU32Vector(streams.stream(5), read->m_abs32Rvas, true) &&
                    readU32Vector(streams.stream(6), read->m_rel32Rvas, true) &&
                    readU32Vector(streams.stream(0), read->m_origins, false) &&
                    readU32Vector(streams.stream(1), read->m_ops, false) &&
                    readU32Vector(streams.stream(7), read->m_copyCounts, false) &&
                    readByteRun(streams.stream(2), read->m_borrowedCopyBytes, read->m_borrowedCopySize) &&
                    readU32Vector(streams.stream(3), read->m_abs32Ix, false) &&
                    readU32Vector(streams.stream(4), read->m_rel32Ix, false);
    if (!ok)
        return kBadEncodedProgram;
    for (size_t i = 0; i <= 8; ++i) {
        if (!streams.stream(i).Empty())
            return kBadEncodedProgram;
    }
    program = std::move(read);
    return kPatchOk;
}

PatchStatus EncodedProgram::Assemble(ByteSink &out)
{
    m_abs32Relocs.clear();
    uint32_t address = 0;
    size_t nextOrigin = 0;
    size_t nextCount = 0;
    size_t nextByte = 0;
    size_t nextAbs32 = 0;
    size_t nextRel32 = 0;
    uint32_t peEntryType = 0;
    uint32_t elfRelocType = 0;
    // After a relocation table op the bytes go aside; the table is generated at
    // the end, when all abs32 addresses are known, and put where the op stood.
    ByteSink side;
    ByteSink *target = &out;

    for (const uint32_t op : m_ops) {
        bool ok = true;
        if (op == ORIGIN) {
            if (nextOrigin == m_origins.size())
                return kAssemblyFailed;
            address = m_origins[nextOrigin++];
        } else if (op == COPY || op == COPY1) {
            size_t n = 1;
            if (op == COPY) {
                if (nextCount == m_copyCounts.size())
                    return kAssemblyFailed;
                n = m_copyCounts[nextCount++];
            }
            if (n > copy_size() - nextByte)
                return kAssemblyFailed;
            ok = target->Write(copy_data() + nextByte, n);
            nextByte += n;
            address += uint32_t(n);
        } else if (op == REL32) {
            if (nextRel32 == m_rel32Ix.size() || m_rel32Ix[nextRel32] >= m_rel32Rvas.size())
                return kAssemblyFailed;
            ok = write32(*target, m_rel32Rvas[m_rel32Ix[nextRel32++]] - address - 4);
            address += 4;
        } else if (op == ABS32) {
            if (nextAbs32 == m_abs32Ix.size() || m_abs32Ix[nextAbs32] >= m_abs32Rvas.size())
                return kAssemblyFailed;
            ok = push(m_abs32Relocs, address) &&
                 write32(*target, m_abs32Rvas[m_abs32Ix[nextAbs32++]] + uint32_t(m_imageBase));
            address += 4;
        } else if (op == MAKE_PE_RELOCATION_TABLE || op == MAKE_PE64_RELOCATION_TABLE) {
            // One table per program, and never both kinds: the disassemblers make no such program.
            if (peEntryType != 0 || elfRelocType != 0)
                return kAssemblyFailed;
            peEntryType = op == MAKE_PE_RELOCATION_TABLE ? 3 : 10;
            target = &side;
        } else if (op == MAKE_ELF_RELOCATION_TABLE || op == MAKE_ELF_ARM_RELOCATION_TABLE) {
            if (elfRelocType != 0 || peEntryType != 0)
                return kAssemblyFailed;
            elfRelocType = op == MAKE_ELF_RELOCATION_TABLE ? 8 : 23;
            target = &side;
        } else if (isArmOp(op)) {
            if (nextRel32 == m_rel32Ix.size() || m_rel32Ix[nextRel32] >= m_rel32Rvas.size())
                return kAssemblyFailed;
            const uint32_t distance = m_rel32Rvas[m_rel32Ix[nextRel32++]] - address;
            address += writeArmBranch(*target, uint16_t(op), distance, ok);
        } else {
            return kAssemblyFailed;
        }
        if (!ok)
            return kAssemblyFailed;
    }

    if (peEntryType != 0 && (!WritePeRelocations(out, peEntryType) || !out.Append(side)))
        return kAssemblyFailed;
    if (elfRelocType != 0 && (!WriteElfRelocations(out, elfRelocType) || !out.Append(side)))
        return kAssemblyFailed;
    if (nextCount != m_copyCounts.size() || nextByte != copy_size() || nextAbs32 != m_abs32Ix.size() ||
        nextRel32 != m_rel32Ix.size())
        return kAssemblyFailed;
    return kPatchOk;
}

bool EncodedProgram::WritePeRelocations(ByteSink &out, uint32_t entryType)
{
    std::sort(m_abs32Relocs.begin(), m_abs32Relocs.end());
    size_t blockStart = 0;
    while (blockStart < m_abs32Relocs.size()) {
        const uint32_t page = m_abs32Relocs[blockStart] & 0xFFFFF000u;
        size_t blockEnd = blockStart;
        while (blockEnd < m_abs32Relocs.size() && (m_abs32Relocs[blockEnd] & 0xFFFFF000u) == page)
            ++blockEnd;
        const size_t entries = blockEnd - blockStart;
        if (entries > kMaxPeBlockEntries)
            return false;
        // Blocks stay 4-byte aligned: an odd number of entries gets a zero entry.
        const size_t padded = entries + (entries & 1);
        if (!write32(out, page) || !write32(out, uint32_t(8 + 2 * padded)))
            return false;
        for (size_t i = blockStart; i < blockEnd; ++i) {
            if (!write16(out, (entryType << 12) | (m_abs32Relocs[i] & 0xFFF)))
                return false;
        }
        if (padded != entries && !write16(out, 0))
            return false;
        blockStart = blockEnd;
    }
    return true;
}

bool EncodedProgram::WriteElfRelocations(ByteSink &out, uint32_t type)
{
    std::sort(m_abs32Relocs.begin(), m_abs32Relocs.end());
    for (uint32_t address : m_abs32Relocs) {
        if (!write32(out, address) || !write32(out, type))
            return false;
    }
    return true;
}

} // namespace vxpatch
