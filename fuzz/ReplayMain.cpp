// SPDX-License-Identifier: MIT
// Replays a fuzzer's checked-in corpus through its entry point, so that every build (GCC,
// the sanitizers, ARM under the emulator) runs the inputs the fuzzers found:
//   <fuzzer>_replay CORPUS_DIR
// Each file is one input; a failed check aborts, which fails the test.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char* argv[]) {
    DIR* dir = argc == 2 ? opendir(argv[1]) : nullptr;
    if (dir == nullptr) {
        fprintf(stderr, "usage: %s CORPUS_DIR (a readable folder)\n", argv[0]);
        return 2;
    }
    int replayed = 0;
    for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        std::ifstream in(std::string(argv[1]) + "/" + entry->d_name, std::ios::binary);
        if (entry->d_name[0] != '.' && in) {
            const std::string data{std::istreambuf_iterator<char>(in), {}};
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
            ++replayed;
        }
    }
    closedir(dir);
    printf("%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
