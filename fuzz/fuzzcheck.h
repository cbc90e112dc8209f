// A broken property ends the run, and libFuzzer keeps the input that broke it.
#pragma once

#include <cstdlib>

inline void check(bool condition)
{
    if (!condition)
        std::abort();
}
