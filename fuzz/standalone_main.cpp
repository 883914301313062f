// A main for the render fuzzer where libFuzzer is not at hand (a cross build run under an
// emulator): each input file or directory named, then pseudo-random inputs.
//
// Usage: standalone [-n COUNT] [PATH...]. The random inputs come from a fixed seed, so a run is
// repeatable; their bytes lean towards the ones the renderers treat specially (quotes, shell and
// JSON characters, control bytes, dots and slashes, UTF-8 lead bytes, the 0xFF field separator)
// and their lengths cross the 8- and 16-byte chunk boundaries of the scans.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

/// Runs the target on one file's bytes.
void run_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

/// One pseudo-random input of up to 300 bytes.
std::vector<std::uint8_t> random_input(std::mt19937_64& rng) {
    static constexpr std::string_view special("'\"\\$`!:; ./?#[]{}=@-%\r\n\t\x01\x7f\xff\xff\xff");
    static constexpr std::string_view utf8_pieces[] = {"\xc3\xa9", "\xe2\x80\x94", "\xf0\x9f\x98\x80", "\xc2\x80"};
    std::vector<std::uint8_t> input;
    std::size_t length = rng() % 300;
    input.push_back(static_cast<std::uint8_t>(rng()));
    while (input.size() < length) {
        std::uint64_t r = rng();
        switch (r % 8) {
            case 0: case 1: input.push_back(static_cast<std::uint8_t>(special[(r >> 8) % special.size()])); break;
            case 2: input.insert(input.end(), utf8_pieces[(r >> 8) % 4].begin(), utf8_pieces[(r >> 8) % 4].end()); break;
            case 3: input.push_back(static_cast<std::uint8_t>(r >> 8)); break;
            case 4: input.push_back(0); break;
            default: input.push_back(static_cast<std::uint8_t>('a' + (r >> 8) % 26)); break;
        }
    }
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = 0, files = 0;
    int first = 1;
    if (argc > 2 && std::string_view(argv[1]) == "-n") {
        count = std::strtoull(argv[2], nullptr, 10);
        first = 3;
    }
    for (int i = first; i < argc; ++i) {
        std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) run_file(entry.path()), ++files;
        } else {
            run_file(path), ++files;
        }
    }
    std::mt19937_64 rng(20261207);
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<std::uint8_t> input = random_input(rng);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu files and %zu random inputs: no mismatch\n", files, count);
    return 0;
}
