#include "commands.h"
#include "ensembleapplier.h"
#include "ensemblepatchgenerator.h"
#include "inputfile.h"
#include "streams.h"

#include <cstdio>

int RunMkpatch(const CommandArguments &arguments)
{
    InputFile oldFile;
    InputFile newFile;
    if (!oldFile.open(arguments.positional(0)) || !newFile.open(arguments.positional(1)))
        return kExitFailure;
    vxpatch::ByteSink patch;
    vxpatch::EnsemblePatchSummary summary;
    const vxpatch::PatchStatus status = vxpatch::GenerateEnsemblePatch(
        oldFile.data(), oldFile.size(), newFile.data(), newFile.size(), patch, &summary);
    if (status != vxpatch::kPatchOk) {
        std::fprintf(stderr, "vxpatch: could not make a patch: %s (%d)\n", vxpatch::PatchStatusName(status),
                     int(status));
        return kExitFailure;
    }
    if (!SaveOutput(arguments.positional(2), patch.Data(), patch.Length()))
        return kExitFailure;
    std::printf("executables: %zu in old, %zu in new; %zu paired%s\n", summary.oldElements,
                summary.newElements, summary.pairs.size(),
                summary.fellBack ? " (dropped: the pairs did not verify)" : "");
    for (const vxpatch::EnsemblePatchSummary::Pair &pair : summary.pairs)
        std::printf("  %s old %zu+%zu -> new %zu+%zu\n", vxpatch::ExecutableTypeName(pair.type),
                    pair.oldOffset, pair.oldLength, pair.newOffset, pair.newLength);
    std::printf("body streams: elements %zu, parameter diff %zu, program diff %zu, final diff %zu\n",
                summary.streamSizes[0], summary.streamSizes[1], summary.streamSizes[2],
                summary.streamSizes[3]);
    std::printf("patch: %zu bytes\n", patch.Length());
    return kExitSuccess;
}

int RunApply(const CommandArguments &arguments)
{
    const vxpatch::PatchStatus status = vxpatch::ApplyEnsemblePatch(
        arguments.positional(0).c_str(), arguments.positional(1).c_str(), arguments.positional(2).c_str());
    if (status == vxpatch::kPatchOk)
        return kExitSuccess;
    std::fprintf(stderr, "vxpatch: %s (%d)\n", vxpatch::PatchStatusName(status), int(status));
    return int(status);
}
