#include "mappedfile.h"

#include "streams.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vxpatch {

MappedFile::~MappedFile()
{
    if (m_data != nullptr)
        munmap(const_cast<uint8_t *>(m_data), m_size);
}

bool MappedFile::Open(const char *path)
{
    if (m_data != nullptr)
        return false;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        void *mapping = mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapping != MAP_FAILED) {
            m_data = static_cast<const uint8_t *>(mapping);
            m_size = size_t(info.st_size);
        }
    }
    close(fd);
    return m_data != nullptr;
}

void MappedFile::ReleaseBefore(const uint8_t *position)
{
    static const size_t pageSize = size_t(sysconf(_SC_PAGESIZE));
    if (position < m_data || position > m_data + m_size)
        return;
    const size_t end = size_t(position - m_data) / pageSize * pageSize;
    if (end <= m_released)
        return;
    // A private read-only file mapping loses nothing: the pages come back from the file.
    madvise(const_cast<uint8_t *>(m_data) + m_released, end - m_released, MADV_DONTNEED);
    m_released = end;
}

bool ReadWholeFile(const char *path, size_t capacity, ByteSink &out)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
              out.Reserve(std::max(capacity, size_t(info.st_size)));
    size_t remaining = ok ? size_t(info.st_size) : 0;
    while (ok && remaining > 0) {
        const ssize_t got = ::read(fd, out.Data() + out.Length(), remaining);
        if (got < 0 && errno == EINTR)
            continue;
        // A file that shrank since fstat ends early; one that grew is read as it was.
        ok = got > 0 && out.Commit(size_t(got));
        remaining -= ok ? size_t(got) : 0;
    }
    close(fd);
    if (!ok)
        out.Clear();
    return ok;
}

} // namespace vxpatch
