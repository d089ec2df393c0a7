// fuzz_target.h: the libFuzzer entry points every target defines. The replay
// (replay_main.cc) calls the same two functions for each corpus file.
#ifndef AMBERCRYPT_TESTS_FUZZ_FUZZ_TARGET_H_
#define AMBERCRYPT_TESTS_FUZZ_FUZZ_TARGET_H_

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#endif  // AMBERCRYPT_TESTS_FUZZ_FUZZ_TARGET_H_
