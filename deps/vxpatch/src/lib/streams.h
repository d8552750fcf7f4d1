#ifndef VXPATCH_STREAMS_H
#define VXPATCH_STREAMS_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vxpatch {

class ByteSink;

// A read cursor over borrowed bytes. It never reads outside [start, end); a
// failed read leaves the cursor where it was.
class ByteSource
{
public:
    ByteSource() = default;
    ByteSource(const void *data, size_t length) { Init(data, length); }

    void Init(const void *data, size_t length);
    // Covers the sink's current bytes; the sink must outlive the cursor and not grow meanwhile.
    void Init(const ByteSink &sink);

    bool Read(void *destination, size_t n);
    // Least significant 7-bit group first; at most 5 bytes, the 5th with its high bit clear.
    bool ReadVarint32(uint32_t &value);
    // Zigzag mapping: 0, -1, 1, -2, 2 are stored as 0, 1, 2, 3, 4.
    bool ReadVarint32Signed(int32_t &value);
    bool Skip(size_t n);
    // `out` becomes the next n bytes and this cursor moves past them.
    bool ShareSubstream(size_t n, ByteSource &out);
    // Decodes one LZMA2 block (property byte, unpacked size, LZMA2 stream) and
    // appends it to `out`; the cursor moves past exactly the bytes the stream used.
    // `consumed`, if set, is told as decoding goes on where the bytes end that
    // the decoder is done with, so that a caller can release them.
    bool ReadLzma2Block(ByteSink &out, const std::function<void(const uint8_t *)> &consumed = {});

    size_t Remaining() const { return size_t(m_end - m_position); }
    bool Empty() const { return m_position == m_end; }

    const uint8_t *Start() const { return m_start; }
    const uint8_t *Position() const { return m_position; }
    const uint8_t *End() const { return m_end; }
    // Bytes consumed so far.
    size_t Offset() const { return size_t(m_position - m_start); }

private:
    const uint8_t *m_start = nullptr;
    const uint8_t *m_end = nullptr;
    const uint8_t *m_position = nullptr;
};

// A growable output buffer that owns its bytes. When a growth allocation fails
// the sink frees its buffer, drops its bytes and stays failed: every later
// write, reservation or append returns false.
class ByteSink
{
public:
    ByteSink() = default;
    ~ByteSink();
    ByteSink(ByteSink &&other) noexcept;
    ByteSink &operator=(ByteSink &&other) noexcept;
    ByteSink(const ByteSink &) = delete;
    ByteSink &operator=(const ByteSink &) = delete;

    bool Write(const void *data, size_t n);
    bool WriteVarint32(uint32_t value);
    bool WriteVarint32Signed(int32_t value);
    // A size above 32 bits is an internal error that ends the process.
    bool WriteSizeVarint32(size_t value);
    // Makes room for n more bytes with a single allocation of exactly that size.
    bool Reserve(size_t n);
    // Writes the other sink's bytes and, on success, frees its buffer.
    bool Append(ByteSink &other);
    // Counts n bytes that a decoder wrote straight into the reserved space after
    // Data() + Length(); false if they would not fit.
    bool Commit(size_t n);
    // Frees the buffer; a failed sink becomes usable again.
    void Clear();

    const uint8_t *Data() const { return m_data; }
    uint8_t *Data() { return m_data; }
    size_t Length() const { return m_length; }
    size_t Capacity() const { return m_failed ? 0 : m_capacity; }
    bool Failed() const { return m_failed; }

private:
    friend class ByteSource; // ReadLzma2Block decodes straight into the reserved space.

    bool Grow(size_t needed, bool exact);
    void Fail();

    uint8_t *m_data = nullptr;
    size_t m_length = 0;
    size_t m_capacity = 0;
    bool m_failed = false;
};

// Up to 10 numbered byte streams read from one serialized container.
class ByteSourceSet
{
public:
    static constexpr size_t kMaxStreams = 10;

    ByteSourceSet() { Reset(); }

    // count 10, all streams empty.
    void Reset();
    // Parses a serialized set: magic 20090218, count, lengths, contents, and nothing after.
    bool Init(const void *data, size_t length);
    // Reads a set that WriteSet nested into this one (header from stream 0).
    bool ReadSet(ByteSourceSet &inner);
    // Every one of the `count` streams is at its end.
    bool Empty() const;

    // Streams from `count` to 9 exist and are empty.
    ByteSource &stream(size_t i) { return m_streams[i]; }
    const ByteSource &stream(size_t i) const { return m_streams[i]; }
    size_t count() const { return m_count; }

private:
    size_t m_count = kMaxStreams;
    ByteSource m_streams[kMaxStreams];
};

// Ten owning output streams that serialize into one container.
class ByteSinkSet
{
public:
    static constexpr size_t kMaxStreams = 10;
    static constexpr uint32_t kMagic = 20090218;

    ByteSink &stream(size_t i) { return m_streams[i]; }
    const ByteSink &stream(size_t i) const { return m_streams[i]; }
    size_t count() const { return kMaxStreams; }

    // Writes the serialized set to `out`, freeing each stream once copied.
    bool CopyTo(ByteSink &out) { return CopyTo(out, kMaxStreams); }
    // The same with only streams 0 .. count-1 (a container of `count` streams,
    // as a preprocessed file's program set needs); the others must be empty.
    bool CopyTo(ByteSink &out, size_t count);
    // Nests `inner` into this set: its header goes to stream 0, its stream i is
    // appended to stream i (and freed). Trailing empty inner streams are not recorded.
    bool WriteSet(ByteSinkSet &inner);

private:
    ByteSink m_streams[kMaxStreams];
};

// The CRC-32 register without the final inversion (0xFFFFFFFF for no bytes,
// 0xCADBBE3D for "abc"); all checksum fields of the patcher's formats hold it.
uint32_t CalculateChecksum(const void *data, size_t length);

} // namespace vxpatch

#endif
