// Runs a fuzz target without libFuzzer, for the regular test suite: every seed input, then a
// fixed number of inputs derived from them by a fixed-seed mutator, so each run is the same.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size);

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [RUNS]\n", argv[0]);
        return 2;
    }
    std::vector<std::vector<uint8_t>> seeds;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        std::ifstream in(entry.path(), std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    seeds.emplace_back();  // the empty input
    for (const auto& seed : seeds) LLVMFuzzerTestOneInput(seed.data(), seed.size());

    const long runs = argc > 2 ? std::atol(argv[2]) : 5000;
    std::mt19937 rng(20261206);
    auto pick = [&](size_t n) {
        return n == 0 ? size_t{0} : std::uniform_int_distribution<size_t>(0, n - 1)(rng);
    };
    for (long run = 0; run < runs; ++run) {
        std::vector<uint8_t> input = seeds[pick(seeds.size())];
        const size_t edits = 1 + pick(8);
        for (size_t e = 0; e < edits; ++e) {
            switch (pick(4)) {
                case 0:  // flip a byte
                    if (!input.empty()) input[pick(input.size())] = static_cast<uint8_t>(pick(256));
                    break;
                case 1:  // insert a byte
                    input.insert(input.begin() + static_cast<long>(pick(input.size() + 1)),
                                 static_cast<uint8_t>(pick(256)));
                    break;
                case 2:  // cut a piece
                    if (!input.empty()) {
                        const size_t at = pick(input.size());
                        input.erase(input.begin() + static_cast<long>(at),
                                    input.begin() + static_cast<long>(
                                                        std::min(input.size(), at + 1 + pick(16))));
                    }
                    break;
                default:  // splice in part of another seed
                    const auto& other = seeds[pick(seeds.size())];
                    if (!other.empty()) {
                        const size_t from = pick(other.size());
                        input.insert(input.begin() + static_cast<long>(pick(input.size() + 1)),
                                     other.begin() + static_cast<long>(from), other.end());
                    }
            }
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu seeds and %ld derived inputs ran clean\n", seeds.size(), runs);
    return 0;
}
