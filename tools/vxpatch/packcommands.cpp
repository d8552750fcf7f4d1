#include "commands.h"
#include "inputfile.h"
#include "outputfile.h"
#include "preprocessedfile.h"
#include "preprocessedfilepacker.h"
#include "streams.h"

int RunPack(const CommandArguments &arguments)
{
    InputFile input;
    if (!input.open(arguments.positional(0)))
        return kExitFailure;
    vxpatch::ByteSink packed;
    if (!vxpatch::WritePackedFile(input.data(), input.size(), packed))
        return kExitFailure;
    return SaveOutput(arguments.positional(1), packed.Data(), packed.Length()) ? kExitSuccess : kExitFailure;
}

int RunUnpack(const CommandArguments &arguments)
{
    // The unpacker writes the file itself; it writes into the temporary file,
    // which becomes the output only once the unpacked bytes were verified.
    OutputFile output;
    if (!output.create(arguments.positional(1)))
        return kExitFailure;
    if (!vxpatch::DecompressPreprocessedFile(arguments.positional(0).c_str(), output.temporaryPath().c_str()))
        return kExitFailure;
    return output.commit() ? kExitSuccess : kExitFailure;
}
