#ifndef FUZZCHECK_H
#define FUZZCHECK_H

#include <cstdio>
#include <cstdlib>

// A broken property ends the fuzz run with the input that broke it.
#define FUZZ_EXPECT(target, cond, what) \
    ((cond) ? void() : (std::fprintf(stderr, "%s: %s\n", target, what), std::abort()))

#endif // FUZZCHECK_H
