#include "commandarguments.h"

namespace {

const OptionDefinition *findOption(const std::vector<OptionDefinition> &options, const std::string &name)
{
    for (const OptionDefinition &option : options) {
        if (name == option.name)
            return &option;
    }
    return nullptr;
}

} // namespace

bool CommandArguments::parse(const std::vector<std::string> &arguments, size_t positionalCount,
                             const std::vector<OptionDefinition> &options)
{
    m_positional.clear();
    m_options.clear();
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            m_positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const OptionDefinition *option = findOption(options, name);
        if (!option) {
            m_error = "unknown option " + name;
            return false;
        }
        if (!option->takesValue) {
            if (equals != std::string::npos) {
                m_error = "option " + name + " takes no value";
                return false;
            }
            m_options[name];
        } else if (equals != std::string::npos) {
            m_options[name] = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
            m_options[name] = arguments[++i];
        } else {
            m_error = "option " + name + " needs a value";
            return false;
        }
    }
    if (m_positional.size() != positionalCount) {
        m_error = "expected " + std::to_string(positionalCount) + " file arguments, got " +
                  std::to_string(m_positional.size());
        return false;
    }
    return true;
}

std::string CommandArguments::value(const std::string &option, const std::string &fallback) const
{
    const auto it = m_options.find(option);
    return it == m_options.end() ? fallback : it->second;
}
