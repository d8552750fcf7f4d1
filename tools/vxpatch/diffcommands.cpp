#include "commands.h"
#include "diffstream.h"
#include "diffstreamgenerator.h"
#include "inputfile.h"
#include "logmessage.h"
#include "streams.h"

int RunDiff(const CommandArguments &arguments)
{
    const std::string method = arguments.value("--method", "1");
    if (method != "0" && method != "1" && method != "2")
        return UsageError("--method must be 0, 1 or 2");
    InputFile oldFile, newFile;
    if (!oldFile.open(arguments.positional(0)) || !newFile.open(arguments.positional(1)))
        return kExitFailure;
    vxpatch::ByteSink diff;
    if (!vxpatch::GenerateDiffStream(oldFile.data(), oldFile.size(), newFile.data(), newFile.size(),
                                     method[0] - '0', arguments.has("--header"), diff))
        return kExitFailure;
    return SaveOutput(arguments.positional(2), diff.Data(), diff.Length()) ? kExitSuccess : kExitFailure;
}

int RunApplyDiff(const CommandArguments &arguments)
{
    InputFile oldFile, diffFile;
    if (!oldFile.open(arguments.positional(0)) || !diffFile.open(arguments.positional(1)))
        return kExitFailure;
    vxpatch::ByteSource oldBytes(oldFile.data(), oldFile.size());
    vxpatch::ByteSource patch(diffFile.data(), diffFile.size());
    vxpatch::ByteSink result;
    if (!vxpatch::ApplyDiffStream(oldBytes, patch, result, arguments.has("--header"))) {
        vxpatch::LogError("could not apply diff");
        return kExitFailure;
    }
    return SaveOutput(arguments.positional(2), result.Data(), result.Length()) ? kExitSuccess : kExitFailure;
}
