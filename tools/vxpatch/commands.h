#ifndef VXPATCH_TOOL_COMMANDS_H
#define VXPATCH_TOOL_COMMANDS_H

#include "commandarguments.h"

#include <cstddef>
#include <string>
#include <vector>

const int kExitSuccess = 0;
const int kExitFailure = 1;
// Returned by a command whose argument values are wrong: the tool then prints
// the command's usage and exits with kExitFailure.
const int kUsageError = -1;

// One subcommand of the tool; the table of them is in main.cpp.
struct Command
{
    const char *name;
    const char *synopsis; // the arguments after the name
    const char *summary;
    size_t positionalCount;
    std::vector<OptionDefinition> options;
    int (*run)(const CommandArguments &arguments);
};

// Prints "vxpatch: <message>" to standard error and returns kUsageError.
int UsageError(const std::string &message);

// Writes the bytes to `path` through a temporary file, so that a failed run
// leaves no output behind.
bool SaveOutput(const std::string &path, const void *data, size_t size);

int RunPack(const CommandArguments &arguments);
int RunUnpack(const CommandArguments &arguments);
int RunDiff(const CommandArguments &arguments);
int RunApplyDiff(const CommandArguments &arguments);
int RunMkpatch(const CommandArguments &arguments);
// Exits with the patch status number when it is not kPatchOk.
int RunApply(const CommandArguments &arguments);

#endif
