#include "inputfile.h"

#include "logmessage.h"

#include <sys/stat.h>

bool InputFile::open(const std::string &path)
{
    if (m_mapping.Open(path.c_str()))
        return true;
    // An empty file cannot be mapped but is a valid input.
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
        return true;
    vxpatch::LogError("could not open file ", path);
    return false;
}
