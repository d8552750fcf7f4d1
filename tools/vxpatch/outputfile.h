#ifndef VXPATCH_TOOL_OUTPUTFILE_H
#define VXPATCH_TOOL_OUTPUTFILE_H

#include <cstddef>
#include <string>

// Output that appears under its name only when complete: the bytes go to a
// temporary file beside the target, which commit() renames over it. Until
// then the target is untouched; a file not committed is removed.
class OutputFile
{
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Creates the temporary file; logs "could not create output file <path>" on failure.
    bool create(const std::string &path);
    // Where the bytes go until commit(), for writers that want a path.
    const std::string &temporaryPath() const { return m_temporaryPath; }
    // Logs "could not write output file <path>" on failure.
    bool write(const void *data, size_t size);
    // Syncs, closes and renames the temporary file to the target.
    bool commit();

private:
    void discard();

    std::string m_path;
    std::string m_temporaryPath;
    int m_fd = -1;
};

#endif
