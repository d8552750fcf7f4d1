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

    const uint8_t *Data() const { return m_data; }
    size_t Size() const { return m_size; }

private:
    const uint8_t *m_data = nullptr;
    size_t m_size = 0;
};

} // namespace vxpatch

#endif
