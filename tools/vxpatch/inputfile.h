#ifndef VXPATCH_TOOL_INPUTFILE_H
#define VXPATCH_TOOL_INPUTFILE_H

#include "mappedfile.h"

#include <cstddef>
#include <cstdint>
#include <string>

// An input file of the tool, mapped read-only. Unlike a patch or a download,
// a file to pack or to diff may be empty; it then has no data.
class InputFile
{
public:
    // On failure logs "could not open file <path>" and returns false.
    bool open(const std::string &path);

    const uint8_t *data() const { return m_mapping.Data(); }
    size_t size() const { return m_mapping.Size(); }

private:
    vxpatch::MappedFile m_mapping;
};

#endif
