// driver.cpp - a small stand-alone driver for the fuzz targets, so that they run in every
// build (g++, sanitizers) without libFuzzer: it replays the files named on the command line,
// then feeds generated inputs for QM_FUZZ_SECONDS seconds (default 3). The same targets
// link with clang's -fsanitize=fuzzer for long runs (fuzz/README.md).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// Characters that the parsers under test give meaning to, mixed with arbitrary bytes.
const char kAlphabet[] = "0123456789abcdefABCDEF|,.-*#; =\"\t\r\n\x00\xff xX";

std::vector<uint8_t> Generate(std::mt19937 &rng, const std::vector<uint8_t> &previous)
{
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<uint8_t> out;
    if (!previous.empty() && pick(rng) < 50) {
        out = previous;  // mutate the last input: flips, insertions, deletions
        int edits = 1 + pick(rng) % 8;
        for (int i = 0; i < edits && !out.empty(); ++i) {
            size_t at = size_t(rng()) % out.size();
            switch (pick(rng) % 4) {
            case 0: out[at] = uint8_t(out[at] ^ (1u << (rng() % 8))); break;
            case 1: out.insert(out.begin() + long(at), uint8_t(kAlphabet[rng() % (sizeof kAlphabet - 1)])); break;
            case 2: out.erase(out.begin() + long(at)); break;
            default: out[at] = uint8_t(rng()); break;
            }
        }
        return out;
    }
    size_t length = size_t(rng()) % (pick(rng) < 90 ? 256 : 2048);
    bool text = pick(rng) < 80;
    for (size_t i = 0; i < length; ++i)
        out.push_back(text ? uint8_t(kAlphabet[rng() % (sizeof kAlphabet - 1)]) : uint8_t(rng()));
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), {});
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    const char *secondsText = getenv("QM_FUZZ_SECONDS");
    double seconds = secondsText ? atof(secondsText) : 3.0;
    std::mt19937 rng(12345);  // repeatable runs
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::vector<uint8_t> last;
    long runs = 0;
    while (std::chrono::steady_clock::now() < end) {
        last = Generate(rng, last);
        LLVMFuzzerTestOneInput(last.data(), last.size());
        ++runs;
    }
    printf("%ld generated inputs, no fault\n", runs);
    return 0;
}
