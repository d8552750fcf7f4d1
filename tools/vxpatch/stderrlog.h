#ifndef VXPATCH_TOOL_STDERRLOG_H
#define VXPATCH_TOOL_STDERRLOG_H

#include "logbase.h"

// Shows the patcher's log lines on standard error, so that the tool's user
// learns why an operation failed. Registers itself for its lifetime.
class StderrLog : public vxpatch::LogBase
{
public:
    StderrLog();
    ~StderrLog() override;

    void Write(const std::string &message, int level, const std::string &category, uint64_t id,
               const std::string &timestamp, const std::string &line) override;
    void Flush() override;
};

#endif
