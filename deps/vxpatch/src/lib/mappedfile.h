#ifndef VXPATCH_MAPPEDFILE_H
#define VXPATCH_MAPPEDFILE_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

// A whole file mapped read-only into memory; unmapped when destroyed.
class MappedFile
{
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    // False when the file cannot be opened, is no regular file, or is empty
    // (an empty file cannot be mapped).
    bool Open(const char *path);

    // Drops the mapped pages that lie wholly before `position` (inside the
    // mapping) and were not dropped before from memory, so that a file read once
    // front to back need not stay resident. The bytes stay readable: touching
    // them maps them in again.
    void ReleaseBefore(const uint8_t *position);

    const uint8_t *Data() const { return m_data; }
    size_t Size() const { return m_size; }

private:
    const uint8_t *m_data = nullptr;
    size_t m_size = 0;
    // Bytes from the start already released.
    size_t m_released = 0;
};

class ByteSink;

// Reads a whole regular, non-empty file into the empty `out`, in one allocation
// of at least `capacity` bytes so that `out` can grow that far without copying.
// False, with `out` left empty, when the file cannot be read in full.
bool ReadWholeFile(const char *path, size_t capacity, ByteSink &out);

} // namespace vxpatch

#endif
