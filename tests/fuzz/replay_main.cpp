// Replays a fuzz target's corpus and a fixed-seed batch of random and mutated inputs, so that the
// targets run as ordinary tests in builds without libFuzzer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::vector<std::uint8_t>> LoadCorpus(const char* dir) {
    std::vector<std::vector<std::uint8_t>> inputs;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return inputs;
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.is_regular_file()) paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        std::ifstream in(path, std::ios::binary);
        inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::vector<std::uint8_t>> corpus;
    for (int i = 1; i < argc; ++i) {
        auto more = LoadCorpus(argv[i]);
        corpus.insert(corpus.end(), more.begin(), more.end());
    }
    for (const auto& input : corpus)
        LLVMFuzzerTestOneInput(input.data(), input.size());

    std::mt19937 rng(20261206);
    std::uniform_int_distribution<int> byte(0, 255);
    const int kRounds = 2000;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::uint8_t> input;
        if (!corpus.empty() && round % 2 == 0) {
            // Mutate a corpus entry: flips, insertions, truncations.
            input = corpus[static_cast<std::size_t>(round / 2) % corpus.size()];
            int edits = 1 + round % 8;
            for (int e = 0; e < edits; ++e) {
                int kind = byte(rng) % 3;
                if (kind == 0 && !input.empty()) {
                    input[static_cast<std::size_t>(rng()) % input.size()] =
                        static_cast<std::uint8_t>(byte(rng));
                } else if (kind == 1) {
                    std::size_t at =
                        input.empty() ? 0 : static_cast<std::size_t>(rng()) % input.size();
                    input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                                 static_cast<std::uint8_t>(byte(rng)));
                } else if (!input.empty()) {
                    input.resize(static_cast<std::size_t>(rng()) % input.size());
                }
            }
        } else {
            std::size_t length = static_cast<std::size_t>(rng()) % 512;
            input.resize(length);
            for (auto& b : input)
                b = static_cast<std::uint8_t>(byte(rng));
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("replayed %zu corpus inputs and %d generated inputs\n", corpus.size(), kRounds);
    return 0;
}
