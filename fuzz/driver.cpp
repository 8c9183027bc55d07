// A bounded stand-in for a fuzzing engine: feeds the target random inputs of random sizes, and
// the files given on the command line, so every target also runs as an ordinary test under the
// sanitizers. With clang, link the target with -fsanitize=fuzzer instead of this file.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::ifstream f(argv[i], std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                   std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::mt19937 rng(12345);
    const char *env = getenv("QV_FUZZ_RUNS");
    int runs = env ? atoi(env) : 20000;
    std::vector<uint8_t> buf;
    for (int run = 0; run < runs; run++) {
        size_t size = rng() % (run % 100 == 0 ? 4096 : 64);
        buf.resize(size);
        for (auto &b : buf)
            b = (uint8_t)rng();
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }
    return 0;
}
