#ifndef VXPATCH_LOGBASE_H
#define VXPATCH_LOGBASE_H

#include <cstdint>
#include <string>

namespace vxpatch {

// An output of the patcher log. Register() adds it to the process-wide list;
// the destructor removes it. Write and Flush are called with the list locked,
// one line at a time.
class LogBase
{
public:
    LogBase() = default;
    virtual ~LogBase();

    LogBase(const LogBase &) = delete;
    LogBase &operator=(const LogBase &) = delete;

    // Call once the object is fully constructed, so no line reaches a half-built output.
    void Register();
    // Derived classes call this first in their destructor for the same reason.
    void Unregister();

    virtual void Write(const std::string &message, int level, const std::string &category, uint64_t id,
                       const std::string &timestamp, const std::string &line) = 0;
    virtual void Flush() = 0;
};

// Hands one formatted line to every registered output; used by LogMessage.
void DispatchLogLine(const std::string &message, int level, const std::string &category, uint64_t id,
                     const std::string &timestamp, const std::string &line);

} // namespace vxpatch

#endif
