#pragma once

#include <cstdio>
#include <cstdlib>

// A broken promise ends the run where libFuzzer (or the corpus suite) sees it.
#define FUZZ_CHECK(condition)                                                                        \
    do {                                                                                             \
        if (!(condition)) {                                                                          \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                            \
        }                                                                                            \
    } while (false)

#include <cstddef>
#include <cstdint>

int fuzzQuery(const std::uint8_t *data, std::size_t size);
int fuzzScanner(const std::uint8_t *data, std::size_t size);
int fuzzReply(const std::uint8_t *data, std::size_t size);

#ifdef VELKA_LIBFUZZER
#define VELKA_FUZZ_ENTRY(function)                                                  \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) \
    {                                                                               \
        return function(data, size);                                                \
    }
#else
#define VELKA_FUZZ_ENTRY(function)
#endif
