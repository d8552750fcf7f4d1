#include "streams.h"

#include "logmessage.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <lzma.h>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace vxpatch {

// ---------------------------------------------------------------- ByteSource

void ByteSource::Init(const void *data, size_t length)
{
    m_start = static_cast<const uint8_t *>(data);
    m_position = m_start;
    m_end = m_start + length;
}

void ByteSource::Init(const ByteSink &sink)
{
    Init(sink.Data(), sink.Length());
}

bool ByteSource::Read(void *destination, size_t n)
{
    if (n > Remaining())
        return false;
    if (n != 0)
        std::memcpy(destination, m_position, n);
    m_position += n;
    return true;
}

bool ByteSource::ReadVarint32(uint32_t &value)
{
    const uint8_t *p = m_position;
    uint32_t result = 0;
    for (int i = 0; i < 5; ++i) {
        if (p == m_end)
            return false;
        const uint8_t byte = *p++;
        if (i == 4) {
            // A 6th byte never follows; the bits of the 5th beyond 32 are dropped.
            if (byte & 0x80)
                return false;
            result |= uint32_t(byte) << 28;
            break;
        }
        result |= uint32_t(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80))
            break;
    }
    value = result;
    m_position = p;
    return true;
}

bool ByteSource::ReadVarint32Signed(int32_t &value)
{
    uint32_t u;
    if (!ReadVarint32(u))
        return false;
    value = int32_t((u >> 1) ^ (0u - (u & 1)));
    return true;
}

bool ByteSource::Skip(size_t n)
{
    if (n > Remaining())
        return false;
    m_position += n;
    return true;
}

bool ByteSource::ShareSubstream(size_t n, ByteSource &out)
{
    if (n > Remaining())
        return false;
    out.Init(m_position, n);
    m_position += n;
    return true;
}

namespace {

// Result codes of the reference LZMA SDK, which the error message reports.
enum SdkResult
{
    kSdkOk = 0,
    kSdkErrorData = 1,
    kSdkErrorMem = 2,
    kSdkErrorUnsupported = 4,
    kSdkErrorInputEof = 6,
};

int sdkResultOf(lzma_ret ret)
{
    switch (ret) {
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        return kSdkErrorMem;
    case LZMA_OPTIONS_ERROR:
        return kSdkErrorUnsupported;
    case LZMA_BUF_ERROR:
        return kSdkErrorInputEof;
    default:
        return kSdkErrorData;
    }
}

// Upper bound of a first reservation: LZMA2 cannot expand input by much more
// than this (long runs of one byte come close), so a forged size cannot make us
// allocate gigabytes up front.
constexpr size_t kMaxExpansion = 8192;
// Input handed to the decoder per call; small enough that a mapped input can be
// released as the decoder goes, large enough that the calls cost nothing.
constexpr size_t kInputStep = 1u << 20;
// The dictionary of the encoders that write these blocks (level 9).
constexpr uint32_t kEncoderDictionary = 64u << 20;

size_t expansionBound(size_t compressed)
{
    return compressed > (SIZE_MAX - 4096) / kMaxExpansion ? SIZE_MAX : compressed * kMaxExpansion + 4096;
}

// liblzma allocates the whole window up front, so a property byte of 40 would
// ask for 4 GiB. A decoder never needs more window than it produces, and what
// it produces is bounded by the declared size and by the input's expansion;
// the encoders' own window is always granted.
uint32_t decoderDictionarySize(uint8_t property, uint32_t unpackedSize, size_t compressed)
{
    const uint32_t declared = property == 40 ? 0xFFFFFFFFu : (2u | (property & 1u)) << (property / 2 + 11);
    const uint64_t reachable = std::max<uint64_t>(kEncoderDictionary, expansionBound(compressed));
    return uint32_t(
        std::max<uint64_t>(LZMA_DICT_SIZE_MIN, std::min<uint64_t>({declared, unpackedSize, reachable})));
}

// The decoder's window is as large as the output (up to 64 MiB) and written
// through; huge pages take one fault per 2 MiB instead of per 4 KiB. The window
// is mapped on its own, so that the advice leaves with it and never reaches
// memory that the heap hands out later.
constexpr size_t kHugePage = size_t(2) << 20;
// Every block starts with the length of its own mapping, or 0 when it came from malloc.
constexpr size_t kBlockHeader = 16;

void *allocateDecoderMemory(void *, size_t count, size_t size)
{
    if (size != 0 && count > (SIZE_MAX - kHugePage) / size)
        return nullptr;
    const size_t length = count * size + kBlockHeader;
    void *block = nullptr;
    size_t mapped = 0;
    if (length >= 2 * kHugePage) {
        block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED)
            return nullptr;
        mapped = length;
        const uintptr_t begin = (uintptr_t(block) + kHugePage - 1) & ~(kHugePage - 1);
        const uintptr_t end = (uintptr_t(block) + length) & ~(kHugePage - 1);
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
    } else {
        block = std::malloc(length);
        if (block == nullptr)
            return nullptr;
    }
    std::memcpy(block, &mapped, sizeof mapped);
    return static_cast<uint8_t *>(block) + kBlockHeader;
}

void freeDecoderMemory(void *, void *data)
{
    if (data == nullptr)
        return;
    void *block = static_cast<uint8_t *>(data) - kBlockHeader;
    size_t mapped;
    std::memcpy(&mapped, block, sizeof mapped);
    if (mapped != 0)
        munmap(block, mapped);
    else
        std::free(block);
}

const lzma_allocator kDecoderAllocator = {allocateDecoderMemory, freeDecoderMemory, nullptr};

} // namespace

bool ByteSource::ReadLzma2Block(ByteSink &out, const std::function<void(const uint8_t *)> &consumed)
{
    uint8_t property;
    if (!Read(&property, 1)) {
        LogError("Error read LZMA2 properties");
        return false;
    }
    uint32_t unpackedSize;
    if (!ReadVarint32(unpackedSize)) {
        LogError("Error read LZMA2 unpack size");
        return false;
    }
    if (!out.Reserve(std::min<size_t>(unpackedSize, expansionBound(Remaining())))) {
        LogError("unable to allocate sink space");
        return false;
    }
    if (property > 40) {
        LogError("Error uncompressing data ", int(kSdkErrorUnsupported));
        return false;
    }

    lzma_options_lzma options;
    lzma_lzma_preset(&options, 0);
    options.dict_size = decoderDictionarySize(property, unpackedSize, Remaining());
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = &kDecoderAllocator;
    lzma_ret ret = lzma_raw_decoder(&stream, filters);
    int result = kSdkOk;
    size_t produced = 0;
    bool finished = false;
    if (ret != LZMA_OK) {
        result = sdkResultOf(ret);
    } else {
        // The input goes in in steps, so that a caller can drop what was used.
        const uint8_t *fed = m_position;
        uint8_t probe;
        while (true) {
            const bool full = produced == unpackedSize;
            if (!full && out.m_length + produced == out.m_capacity &&
                !out.Grow(out.m_length + produced + 1, false)) {
                result = kSdkErrorMem;
                break;
            }
            // Once the declared size is there, one more byte of room shows whether
            // the stream ends now (success) or would produce more (corrupt).
            uint8_t *const target = full ? &probe : out.m_data + out.m_length + produced;
            const size_t room =
                full ? 1
                     : std::min<size_t>(unpackedSize - produced, out.m_capacity - out.m_length - produced);
            if (stream.avail_in == 0 && fed != m_end) {
                const size_t step = std::min<size_t>(kInputStep, size_t(m_end - fed));
                stream.next_in = fed;
                stream.avail_in = step;
                fed += step;
            }
            stream.next_out = target;
            stream.avail_out = room;
            ret = lzma_code(&stream, LZMA_RUN);
            if (consumed)
                consumed(stream.next_in);
            const size_t written = room - stream.avail_out;
            if (full && written != 0) {
                result = kSdkErrorData;
                break;
            }
            produced += written;
            if (ret == LZMA_STREAM_END) {
                finished = produced == unpackedSize;
                break;
            }
            if (ret != LZMA_OK) {
                result = sdkResultOf(ret);
                break;
            }
            if (stream.avail_in == 0 && fed == m_end && stream.avail_out != 0) {
                result = kSdkErrorInputEof;
                break;
            }
        }
    }
    const size_t used = size_t(stream.total_in);
    lzma_end(&stream);
    if (!finished) {
        LogError("Error uncompressing data ", result);
        return false;
    }
    m_position += used;
    out.m_length += produced;
    return true;
}

// ---------------------------------------------------------------- ByteSink

ByteSink::~ByteSink()
{
    delete[] m_data;
}

ByteSink::ByteSink(ByteSink &&other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_length(std::exchange(other.m_length, 0)),
      m_capacity(std::exchange(other.m_capacity, 0)), m_failed(std::exchange(other.m_failed, false))
{
}

ByteSink &ByteSink::operator=(ByteSink &&other) noexcept
{
    if (this != &other) {
        delete[] m_data;
        m_data = std::exchange(other.m_data, nullptr);
        m_length = std::exchange(other.m_length, 0);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_failed = std::exchange(other.m_failed, false);
    }
    return *this;
}

void ByteSink::Fail()
{
    delete[] m_data;
    m_data = nullptr;
    m_length = 0;
    m_capacity = 0;
    m_failed = true;
}

void ByteSink::Clear()
{
    delete[] m_data;
    m_data = nullptr;
    m_length = 0;
    m_capacity = 0;
    m_failed = false;
}

bool ByteSink::Grow(size_t needed, bool exact)
{
    if (m_failed)
        return false;
    if (needed <= m_capacity)
        return true;
    size_t capacity = needed;
    if (!exact) {
        capacity = m_capacity == 0 ? 256 : m_capacity;
        while (capacity < needed)
            capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
    }
    capacity = std::max<size_t>(capacity, 256);
    uint8_t *data = new (std::nothrow) uint8_t[capacity];
    if (!data) {
        Fail();
        return false;
    }
    if (m_length != 0)
        std::memcpy(data, m_data, m_length);
    delete[] m_data;
    m_data = data;
    m_capacity = capacity;
    return true;
}

bool ByteSink::Write(const void *data, size_t n)
{
    if (m_failed)
        return false;
    if (n == 0)
        return true;
    if (n > SIZE_MAX - m_length) {
        Fail();
        return false;
    }
    if (!Grow(m_length + n, false))
        return false;
    std::memcpy(m_data + m_length, data, n);
    m_length += n;
    return true;
}

bool ByteSink::WriteVarint32(uint32_t value)
{
    uint8_t bytes[5];
    size_t n = 0;
    while (value >= 0x80) {
        bytes[n++] = uint8_t(value | 0x80);
        value >>= 7;
    }
    bytes[n++] = uint8_t(value);
    return Write(bytes, n);
}

bool ByteSink::WriteVarint32Signed(int32_t value)
{
    const uint32_t u = (uint32_t(value) << 1) ^ uint32_t(value >> 31);
    return WriteVarint32(u);
}

bool ByteSink::WriteSizeVarint32(size_t value)
{
    const uint32_t narrowed_value = uint32_t(value);
    if (value != narrowed_value)
        LogCritical(
            "Assertion \"value == narrowed_value\" failed at ../../../../deps/vxpatch/src/lib/streams:209; ");
    return WriteVarint32(narrowed_value);
}

bool ByteSink::Reserve(size_t n)
{
    if (m_failed)
        return false;
    if (n > SIZE_MAX - m_length) {
        Fail();
        return false;
    }
    return Grow(m_length + n, true);
}

bool ByteSink::Commit(size_t n)
{
    if (m_failed || n > m_capacity - m_length)
        return false;
    m_length += n;
    return true;
}

bool ByteSink::Append(ByteSink &other)
{
    if (other.m_failed)
        return false;
    // Into an empty sink the buffer moves instead of being copied.
    if (m_length == 0 && !m_failed) {
        std::swap(m_data, other.m_data);
        std::swap(m_length, other.m_length);
        std::swap(m_capacity, other.m_capacity);
        other.Clear();
        return true;
    }
    if (!Write(other.m_data, other.m_length))
        return false;
    other.Clear();
    return true;
}

// ---------------------------------------------------------------- ByteSourceSet

void ByteSourceSet::Reset()
{
    m_count = kMaxStreams;
    for (ByteSource &stream : m_streams)
        stream.Init(nullptr, 0);
}

bool ByteSourceSet::Init(const void *data, size_t length)
{
    Reset();
    ByteSource source(data, length);
    uint32_t magic;
    uint32_t count;
    if (!source.ReadVarint32(magic) || magic != ByteSinkSet::kMagic || !source.ReadVarint32(count) ||
        count > kMaxStreams)
        return false;
    uint32_t lengths[kMaxStreams];
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!source.ReadVarint32(lengths[i]))
            return false;
        total += lengths[i];
    }
    if (total != source.Remaining())
        return false;
    m_count = count;
    for (uint32_t i = 0; i < count; ++i)
        source.ShareSubstream(lengths[i], m_streams[i]);
    return true;
}

bool ByteSourceSet::ReadSet(ByteSourceSet &inner)
{
    // Work on copies so that a malformed nested set moves no cursor.
    ByteSource streams[kMaxStreams];
    std::copy(std::begin(m_streams), std::end(m_streams), std::begin(streams));
    uint32_t count;
    if (!streams[0].ReadVarint32(count) || count > kMaxStreams || count > m_count)
        return false;
    uint32_t lengths[kMaxStreams];
    for (uint32_t i = 0; i < count; ++i) {
        if (!streams[0].ReadVarint32(lengths[i]))
            return false;
    }
    ByteSource parts[kMaxStreams];
    for (uint32_t i = 0; i < count; ++i) {
        if (!streams[i].ShareSubstream(lengths[i], parts[i]))
            return false;
    }
    inner.Reset();
    std::copy(std::begin(parts), std::end(parts), std::begin(inner.m_streams));
    std::copy(std::begin(streams), std::end(streams), std::begin(m_streams));
    return true;
}

bool ByteSourceSet::Empty() const
{
    for (size_t i = 0; i < m_count; ++i) {
        if (!m_streams[i].Empty())
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- ByteSinkSet

bool ByteSinkSet::CopyTo(ByteSink &out, size_t count)
{
    if (count > kMaxStreams)
        return false;
    for (size_t i = count; i < kMaxStreams; ++i) {
        if (m_streams[i].Length() != 0 || m_streams[i].Failed())
            return false;
    }
    ByteSink header;
    const uint8_t magic[] = {0xEA, 0x9A, 0xCA, 0x09};
    if (!header.Write(magic, sizeof magic) || !header.WriteSizeVarint32(count))
        return false;
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        // A stream whose allocation failed has lost its bytes; never serialize it as empty.
        if (m_streams[i].Failed() || !header.WriteSizeVarint32(m_streams[i].Length()))
            return false;
        total += m_streams[i].Length();
    }
    if (!out.Reserve(header.Length() + total) || !out.Append(header))
        return false;
    for (size_t i = 0; i < count; ++i) {
        if (!out.Append(m_streams[i]))
            return false;
    }
    return true;
}

bool ByteSinkSet::WriteSet(ByteSinkSet &inner)
{
    size_t count = 0;
    for (size_t i = 0; i < kMaxStreams; ++i) {
        if (inner.m_streams[i].Failed())
            return false;
        if (inner.m_streams[i].Length() != 0)
            count = i + 1;
    }
    if (!m_streams[0].WriteSizeVarint32(count))
        return false;
    for (size_t i = 0; i < count; ++i) {
        if (!m_streams[0].WriteSizeVarint32(inner.m_streams[i].Length()))
            return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!m_streams[i].Append(inner.m_streams[i]))
            return false;
    }
    return true;
}

} // namespace vxpatch
