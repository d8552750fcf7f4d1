// vxpatch: the makers' command-line front end of the binary patcher.

#include "allocationpolicy.h"
#include "commands.h"
#include "outputfile.h"
#include "stderrlog.h"

#include <cstdio>
#include <cstring>

namespace {

const Command kCommands[] = {
    {"pack", "IN OUT", "store IN as a preprocessed LZMA2 file", 2, {}, RunPack},
    {"unpack", "IN OUT", "unpack a preprocessed LZMA2 file", 2, {}, RunUnpack},
    {"diff",
     "OLD NEW OUT [--header] [--method 0|1|2]",
     "write a diff stream that rebuilds NEW from OLD (method 1 unless given)",
     3,
     {{"--header", false}, {"--method", true}},
     RunDiff},
    {"applydiff",
     "OLD DIFF OUT [--header]",
     "rebuild a file from OLD and a diff stream",
     3,
     {{"--header", false}},
     RunApplyDiff},
    {"mkpatch", "OLD NEW PATCH", "write an ensemble patch that turns OLD into NEW", 3, {}, RunMkpatch},
    {"apply",
     "OLD PATCH NEW",
     "apply an ensemble patch; on failure the exit status is the patch status number",
     3,
     {},
     RunApply},
};

void PrintUsage(FILE *to)
{
    std::fprintf(to, "usage: vxpatch COMMAND ARGUMENTS\n\ncommands:\n");
    for (const Command &command : kCommands)
        std::fprintf(to, "  %s %s\n      %s\n", command.name, command.synopsis, command.summary);
    std::fprintf(to, "\n--header selects the diff stream form that starts with \"VXDIFF10\" and a checksum.\n"
                     "Exit status 0 on success, 1 on failure; errors are logged to standard error.\n");
}

void PrintCommandUsage(const Command &command, FILE *to)
{
    std::fprintf(to, "usage: vxpatch %s %s\n", command.name, command.synopsis);
}

bool IsHelp(const char *argument)
{
    return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0;
}

} // namespace

int UsageError(const std::string &message)
{
    std::fprintf(stderr, "vxpatch: %s\n", message.c_str());
    return kUsageError;
}

bool SaveOutput(const std::string &path, const void *data, size_t size)
{
    OutputFile output;
    return output.create(path) && output.write(data, size) && output.commit();
}

int main(int argc, char **argv)
{
    vxpatch::KeepLargeAllocationsMapped();
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitFailure;
    }
    if (IsHelp(argv[1]) || std::strcmp(argv[1], "help") == 0) {
        PrintUsage(stdout);
        return kExitSuccess;
    }
    for (const Command &command : kCommands) {
        if (std::strcmp(argv[1], command.name) != 0)
            continue;
        std::vector<std::string> rest(argv + 2, argv + argc);
        for (const std::string &argument : rest) {
            if (argument == "--")
                break;
            if (IsHelp(argument.c_str())) {
                PrintCommandUsage(command, stdout);
                return kExitSuccess;
            }
        }
        CommandArguments arguments;
        int status;
        if (!arguments.parse(rest, command.positionalCount, command.options)) {
            status = UsageError(arguments.error());
        } else {
            StderrLog log;
            status = command.run(arguments);
        }
        if (status == kUsageError) {
            PrintCommandUsage(command, stderr);
            return kExitFailure;
        }
        return status;
    }
    std::fprintf(stderr, "vxpatch: unknown command %s\n", argv[1]);
    PrintUsage(stderr);
    return kExitFailure;
}
