#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant of a fuzz target: when it does not hold, the input is a
// finding, so the run stops with the line and the condition.
#define CHECK(cond)                                                                 \
    do {                                                                            \
        if (!(cond)) {                                                              \
            std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #cond); \
            std::abort();                                                           \
        }                                                                           \
    } while (0)
