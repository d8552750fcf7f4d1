#include "logbase.h"

#include "logmessage.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace vxpatch {

namespace {

struct OutputList
{
    std::mutex mutex;
    std::vector<LogBase *> outputs;
};

OutputList &outputList()
{
    static OutputList list;
    return list;
}

} // namespace

LogBase::~LogBase()
{
    Unregister();
}

void LogBase::Register()
{
    OutputList &list = outputList();
    std::lock_guard<std::mutex> lock(list.mutex);
    if (std::find(list.outputs.begin(), list.outputs.end(), this) == list.outputs.end())
        list.outputs.push_back(this);
}

void LogBase::Unregister()
{
    OutputList &list = outputList();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.outputs.erase(std::remove(list.outputs.begin(), list.outputs.end(), this), list.outputs.end());
}

void DispatchLogLine(const std::string &message, int level, const std::string &category, uint64_t id,
                     const std::string &timestamp, const std::string &line)
{
    OutputList &list = outputList();
    std::lock_guard<std::mutex> lock(list.mutex);
    for (LogBase *output : list.outputs) {
        output->Write(message, level, category, id, timestamp, line);
        if (level == LOG_CRITICAL)
            output->Flush();
    }
}

} // namespace vxpatch
