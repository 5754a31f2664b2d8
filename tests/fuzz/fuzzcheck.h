#ifndef FUZZCHECK_H
#define FUZZCHECK_H

#include <cstdio>
#include <cstdlib>

// A broken property ends the fuzz run with the input that broke it.
[[noreturn]] inline void fuzzFault(const char *target, const char *what)
{
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
}

#define FUZZ_EXPECT(target, cond, what)                                                                              \
    do {                                                                                                             \
        if (!(cond))                                                                                                 \
            fuzzFault(target, what);                                                                                 \
    } while (0)

#endif // FUZZCHECK_H
