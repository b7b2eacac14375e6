#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken promise ends the run where libFuzzer (or the corpus suite) sees it.
#define FUZZ_CHECK(condition) \
    ((condition) ? void() : (std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__), std::abort()))

using FuzzTarget = int (*)(const std::uint8_t *data, std::size_t size);
int fuzzQuery(const std::uint8_t *data, std::size_t size);
int fuzzScanner(const std::uint8_t *data, std::size_t size);
int fuzzReply(const std::uint8_t *data, std::size_t size);

#ifdef VELKA_LIBFUZZER
#define VELKA_FUZZ_ENTRY(target) \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) { return target(data, size); }
#else
#define VELKA_FUZZ_ENTRY(target)
#endif
