#pragma once
// Shared by the benchmarks: a timer and the one line format scripts/bench.sh gathers
// into its table ("ratio|measure|min|median|max|target").
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <vector>

inline double benchNowMs()
{
    static LARGE_INTEGER freq = [] { LARGE_INTEGER f; QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(freq.QuadPart);
}

inline void printRatio(const char* measure, std::vector<double> r, const char* target)
{
    if (r.empty()) return;
    std::sort(r.begin(), r.end());
    printf("ratio|%s|%.3f|%.3f|%.3f|%s\n", measure, r.front(), r[r.size() / 2], r.back(), target);
    fflush(stdout);
}
