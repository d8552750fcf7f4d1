#ifndef VXPATCH_LOGMESSAGE_H
#define VXPATCH_LOGMESSAGE_H

#include <boost/date_time/posix_time/ptime.hpp>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

namespace vxpatch {

// The value is the level; a message passes when it is at most the threshold.
enum LogLevel
{
    LOG_CRITICAL = 0,
    LOG_ERROR = 1,
    LOG_WARNING = 2,
    LOG_DEBUG = 3,
    LOG_INFO = 4,
    LOG_DEVELOP = 5,
};

// Formats the message into one line and hands it to every registered LogBase.
// CRITICAL (and a level outside 0..5) ends the process with status 1 after
// calling the fatal handler, whatever the threshold.
void LogMessage(const std::string &message, int level, const std::string &category, uint64_t id);

// The line LogMessage dispatches for a message logged at `time` (UTC).
std::string FormatLogLine(const std::string &message, int level, const std::string &category, uint64_t id,
                          const boost::posix_time::ptime &time);
// "2015-11-20 10:11:12.500000"; without a fraction the text ends with the point, padded to 26.
std::string FormatLogTimestamp(const boost::posix_time::ptime &time);
const char *LogLevelName(int level);

// Messages of a higher level than the threshold are dropped; 5 lets everything through.
void SetLogThreshold(int level);
int LogThreshold();
// Called before the process ends on a CRITICAL message; an empty function removes it.
void SetLogFatalHandler(std::function<void()> handler);

// Builds a message from text pieces and numbers (numbers in decimal) and logs it
// with an empty category and id 0, the way the patcher reports everything.
template <typename... Pieces> void LogAt(int level, const Pieces &...pieces)
{
    std::ostringstream text;
    (text << ... << pieces);
    LogMessage(text.str(), level, std::string(), 0);
}

template <typename... Pieces> void LogError(const Pieces &...pieces)
{
    LogAt(LOG_ERROR, pieces...);
}

template <typename... Pieces> void LogDebug(const Pieces &...pieces)
{
    LogAt(LOG_DEBUG, pieces...);
}

// Internal assertions: the text names the broken condition; the process ends.
[[noreturn]] void LogCritical(const std::string &message);

} // namespace vxpatch

#endif
