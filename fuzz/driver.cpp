// A bounded stand-in for a fuzzing engine, so that every target also runs as an ordinary test
// under the sanitizers: it feeds the target the files (or the files of the directories) given
// on the command line, QV_FUZZ_MUTATIONS mutated copies of each (bytes changed, runs of bytes
// dropped or repeated, the end cut off), then QV_FUZZ_RUNS random inputs of random sizes. With
// clang, link the target with -fsanitize=fuzzer instead of this file (scripts/fuzz.sh).
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                                std::istreambuf_iterator<char>());
}

// The files named, a directory standing for the files in it (sorted, so runs repeat).
std::vector<std::string> input_files(int argc, char **argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0)
            continue;
        if (!S_ISDIR(st.st_mode)) {
            files.push_back(argv[i]);
            continue;
        }
        std::vector<std::string> in_dir;
        if (DIR *d = opendir(argv[i])) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    in_dir.push_back(std::string(argv[i]) + "/" + e->d_name);
            closedir(d);
        }
        std::sort(in_dir.begin(), in_dir.end());
        files.insert(files.end(), in_dir.begin(), in_dir.end());
    }
    return files;
}

std::vector<uint8_t> mutate(std::vector<uint8_t> v, std::mt19937 &rng) {
    if (v.empty())
        return v;
    int edits = 1 + (int)(rng() % 8);
    for (int e = 0; e < edits && !v.empty(); e++) {
        size_t at = rng() % v.size();
        size_t len = std::min<size_t>(v.size() - at, 1 + rng() % 400);
        switch (rng() % 4) {
        case 0: // bytes changed
            for (size_t k = 0; k < std::min<size_t>(len, 16); k++)
                v[at + rng() % len] = (uint8_t)rng();
            break;
        case 1: // a run dropped
            v.erase(v.begin() + (long)at, v.begin() + (long)(at + len));
            break;
        case 2: { // a run repeated
            std::vector<uint8_t> run(v.begin() + (long)at, v.begin() + (long)(at + len));
            v.insert(v.begin() + (long)at, run.begin(), run.end());
            break;
        }
        default: // the end cut off
            v.resize(at);
            break;
        }
    }
    return v;
}

int env_int(const char *name, int fallback) {
    const char *env = getenv(name);
    return env ? atoi(env) : fallback;
}

} // namespace

int main(int argc, char **argv) {
    std::mt19937 rng(12345);
    const int mutations = env_int("QV_FUZZ_MUTATIONS", 0);
    for (const std::string &file : input_files(argc, argv)) {
        std::vector<uint8_t> bytes = read_file(file);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        for (int m = 0; m < mutations; m++) {
            std::vector<uint8_t> changed = mutate(bytes, rng);
            LLVMFuzzerTestOneInput(changed.data(), changed.size());
        }
    }
    const int runs = env_int("QV_FUZZ_RUNS", 20000);
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
