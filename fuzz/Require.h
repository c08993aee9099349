#pragma once

#include <cstdio>
#include <cstdlib>

/// A broken invariant is a finding: abort, so that libFuzzer keeps the input.
inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}
