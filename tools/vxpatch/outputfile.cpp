#include "outputfile.h"

#include "logmessage.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

OutputFile::~OutputFile()
{
    discard();
}

bool OutputFile::create(const std::string &path)
{
    discard();
    m_path = path;
    std::vector<char> pattern(path.begin(), path.end());
    const char suffix[] = ".tmp-XXXXXX";
    pattern.insert(pattern.end(), suffix, suffix + sizeof suffix);
    m_fd = mkstemp(pattern.data());
    if (m_fd < 0) {
        vxpatch::LogError("could not create output file ", path);
        return false;
    }
    m_temporaryPath = pattern.data();
    // mkstemp makes the file private; give it the mode a plain create would.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(m_fd, 0666 & ~mask);
    return true;
}

bool OutputFile::write(const void *data, size_t size)
{
    const auto *bytes = static_cast<const uint8_t *>(data);
    while (size > 0) {
        const ssize_t n = ::write(m_fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            vxpatch::LogError("could not write output file ", m_path);
            return false;
        }
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

bool OutputFile::commit()
{
    const bool ok = fsync(m_fd) == 0 && close(m_fd) == 0;
    m_fd = -1;
    if (!ok || rename(m_temporaryPath.c_str(), m_path.c_str()) != 0) {
        vxpatch::LogError("could not write output file ", m_path);
        discard();
        return false;
    }
    m_temporaryPath.clear();
    return true;
}

void OutputFile::discard()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    if (!m_temporaryPath.empty())
        unlink(m_temporaryPath.c_str());
    m_temporaryPath.clear();
}
