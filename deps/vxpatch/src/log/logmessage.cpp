#include "logmessage.h"

#include "logbase.h"

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>
#include <cstdlib>
#include <mutex>

namespace vxpatch {

namespace {

std::atomic<int> g_threshold{LOG_DEVELOP};

std::mutex &fatalHandlerMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::function<void()> &fatalHandler()
{
    static std::function<void()> handler;
    return handler;
}

[[noreturn]] void endProcess()
{
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lock(fatalHandlerMutex());
        handler = fatalHandler();
    }
    if (handler)
        handler();
    std::exit(1);
}

const char *const kLevelNames[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};

} // namespace

const char *LogLevelName(int level)
{
    return level >= LOG_CRITICAL && level <= LOG_DEVELOP ? kLevelNames[level] : "";
}

std::string FormatLogTimestamp(const boost::posix_time::ptime &time)
{
    const boost::gregorian::date date = time.date();
    const boost::posix_time::time_duration clock = time.time_of_day();
    std::string text =
        (boost::format("%04d-%02d-%02d %02d:%02d:%02d.") % int(date.year()) % int(date.month()) %
         int(date.day()) % clock.hours() % clock.minutes() % clock.seconds())
            .str();
    const auto micros = clock.total_microseconds() % 1000000;
    if (micros != 0)
        text += (boost::format("%06d") % micros).str();
    text.resize(26, ' ');
    return text;
}

std::string FormatLogLine(const std::string &message, int level, const std::string &category, uint64_t id,
                          const boost::posix_time::ptime &time)
{
    const std::string idText = id == 0 ? std::string() : std::to_string(id);
    const std::string prefix = (boost::format("%s|%-8s|%-14s|%-3s|") % FormatLogTimestamp(time) %
                                LogLevelName(level) % category % idText)
                                   .str();
    std::string line = prefix;
    line.reserve(prefix.size() + message.size());
    // Continuation lines start under the message, not under the timestamp.
    const std::string indent(prefix.size(), ' ');
    for (char c : message) {
        line += c;
        if (c == '\n')
            line += indent;
    }
    return line;
}

void SetLogThreshold(int level)
{
    g_threshold = level;
}

int LogThreshold()
{
    return g_threshold;
}

void SetLogFatalHandler(std::function<void()> handler)
{
    std::lock_guard<std::mutex> lock(fatalHandlerMutex());
    fatalHandler() = std::move(handler);
}

void LogMessage(const std::string &message, int level, const std::string &category, uint64_t id)
{
    if (level < LOG_CRITICAL || level > LOG_DEVELOP)
        LogCritical("Assertion \"level >= LOG_CRITICAL && level <= LOG_DEVELOP\" failed in LogMessage; ");
    if (level <= g_threshold) {
        const boost::posix_time::ptime now = boost::posix_time::microsec_clock::universal_time();
        const std::string line = FormatLogLine(message, level, category, id, now);
        if (!line.empty())
            DispatchLogLine(message, level, category, id, FormatLogTimestamp(now), line);
    }
    if (level == LOG_CRITICAL)
        endProcess();
}

void LogCritical(const std::string &message)
{
    LogMessage(message, LOG_CRITICAL, std::string(), 0);
    // LogMessage does not return for CRITICAL; this keeps the compiler informed.
    std::exit(1);
}

} // namespace vxpatch
