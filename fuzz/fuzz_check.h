// How every fuzz target reports a broken promise: it names the promise and
// aborts, so libFuzzer stops and keeps the input that broke it.
#ifndef TINKERPOT_FUZZ_CHECK_H
#define TINKERPOT_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

inline void check(bool holds, const char* promise)
{
    if (holds)
        return;
    fprintf(stderr, "broken promise: %s\n", promise);
    abort();
}

#endif
