#ifndef VXPATCH_TOOL_COMMANDARGUMENTS_H
#define VXPATCH_TOOL_COMMANDARGUMENTS_H

#include <map>
#include <string>
#include <vector>

// An option a command accepts: a flag ("--header") or one taking a value
// ("--method 1" or "--method=1").
struct OptionDefinition
{
    const char *name;
    bool takesValue;
};

// The arguments after the command name, split into positional ones and options.
class CommandArguments
{
public:
    // False with a reason in error() for an unknown option, a missing option
    // value or a wrong number of positional arguments.
    bool parse(const std::vector<std::string> &arguments, size_t positionalCount,
               const std::vector<OptionDefinition> &options);

    const std::string &positional(size_t i) const { return m_positional.at(i); }
    bool has(const std::string &option) const { return m_options.count(option) > 0; }
    // The option's value, or `fallback` when it was not given.
    std::string value(const std::string &option, const std::string &fallback) const;
    const std::string &error() const { return m_error; }

private:
    std::vector<std::string> m_positional;
    std::map<std::string, std::string> m_options;
    std::string m_error;
};

#endif
