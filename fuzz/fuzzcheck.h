#pragma once

#include <cstdio>
#include <cstdlib>

// Properties that must hold for every input. A broken one is reported and the
// process aborts, so that libFuzzer keeps the input that broke it.

[[noreturn]] inline void fuzzFail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzFail(__FILE__, __LINE__, #condition);                                              \
    } while (false)

#define FUZZ_FAIL(what) fuzzFail(__FILE__, __LINE__, what)
