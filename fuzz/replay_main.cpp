// Feeds every file of a folder (the seed corpus) to the fuzz target's entry point, in name order, as
// libFuzzer would replay them: a finding aborts the program. Fails when the folder holds no file.
//   hexfile_fuzz_replay <folder>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1], error)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    if (error || files.empty()) {
        std::fprintf(stderr, "hexfile_fuzz_replay: no files in %s\n", argv[1]);
        return 1;
    }
    std::sort(files.begin(), files.end());
    LLVMFuzzerInitialize(&argc, &argv);
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "hexfile_fuzz_replay: %s\n", file.filename().c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("hexfile_fuzz_replay: %zu files, no finding\n", files.size());
    return 0;
}
