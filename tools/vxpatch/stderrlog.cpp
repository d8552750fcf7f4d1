#include "stderrlog.h"

#include <cstdio>

StderrLog::StderrLog()
{
    Register();
}

StderrLog::~StderrLog()
{
    Unregister();
}

void StderrLog::Write(const std::string &, int, const std::string &, uint64_t, const std::string &,
                      const std::string &line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
}

void StderrLog::Flush()
{
    std::fflush(stderr);
}
