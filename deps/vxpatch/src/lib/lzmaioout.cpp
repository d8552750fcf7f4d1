#include "lzmaioout.h"

#include "logmessage.h"
#include "streams.h"

#include <algorithm>
#include <lzma.h>

namespace vxpatch {

namespace {

uint32_t dictionaryForProperty(uint8_t property)
{
    return property >= 40 ? 0xFFFFFFFFu : (2u | (property & 1u)) << (property / 2 + 11);
}

} // namespace

uint8_t Lzma2PropertyForDictionary(uint32_t dictionarySize)
{
    uint8_t property = 0;
    while (property < 40 && dictionaryForProperty(property) < dictionarySize)
        ++property;
    return property;
}

bool WriteLzma2Block(const void *data, size_t length, ByteSink &out)
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 9)) {
        LogError("Error Lzma2Enc_SetProps");
        return false;
    }
    // A window beyond the data only costs memory, in the encoder and in every decoder.
    options.dict_size = uint32_t(std::clamp<uint64_t>(length, LZMA_DICT_SIZE_MIN, options.dict_size));
    options.dict_size = dictionaryForProperty(Lzma2PropertyForDictionary(options.dict_size));
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    lzma_stream stream = LZMA_STREAM_INIT;
    const lzma_ret initResult = lzma_raw_encoder(&stream, filters);
    if (initResult == LZMA_MEM_ERROR)
        LogCritical("Assertion \"encHandle\" failed at ../../../../deps/vxpatch/src/lib/lzmaioout:63; ");
    if (initResult != LZMA_OK) {
        LogError("Error Lzma2Enc_SetProps");
        return false;
    }

    const uint8_t property = Lzma2PropertyForDictionary(options.dict_size);
    bool ok = out.Write(&property, 1) && out.WriteSizeVarint32(length);
    // Incompressible data grows by a few bytes per 64 KiB chunk.
    ok = ok && out.Reserve(length + length / 1024 + 64);
    stream.next_in = static_cast<const uint8_t *>(data);
    stream.avail_in = length;
    lzma_ret ret = LZMA_OK;
    while (ok && ret == LZMA_OK) {
        if (out.Capacity() == out.Length())
            ok = out.Reserve(std::max<size_t>(4096, out.Length() / 4));
        if (!ok)
            break;
        const size_t room = out.Capacity() - out.Length();
        stream.next_out = out.Data() + out.Length();
        stream.avail_out = room;
        ret = lzma_code(&stream, LZMA_FINISH);
        ok = out.Commit(room - stream.avail_out);
    }
    lzma_end(&stream);
    if (!ok || ret != LZMA_STREAM_END) {
        LogError("Error Lzma2Enc_Encode");
        return false;
    }
    return true;
}

} // namespace vxpatch
