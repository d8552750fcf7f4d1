// Runs a fuzz target's entry point over files and directories of inputs, so that
// the kept crash inputs are replayed in every build, without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool replay(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto &entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file() && !replay(entry.path()))
                    return 1;
                replayed += entry.is_regular_file();
            }
        } else if (replay(path)) {
            ++replayed;
        } else {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
    }
    std::printf("replayed %d inputs\n", replayed);
    return 0;
}
