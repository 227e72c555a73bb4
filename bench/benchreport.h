#ifndef BENCHREPORT_H
#define BENCHREPORT_H

#include <cstdio>

// What both benchmarks print: on standard error a line as each measurement starts, since some
// take half a minute, and on standard output the result rows, every row that has a target
// ending with whether this run met it. A figure only: nothing fails on it.
namespace BenchReport {

enum class Better { Higher, Lower };

inline void measuring(const char *what)
{
    // The rows so far come first, also when standard output is a pipe or a file.
    std::fflush(stdout);
    std::fprintf(stderr, "measuring: %s\n", what);
}

// Ends a row with "  target <= 1.1: met" (or MISSED). The figure held to the target is the row's
// ratio unless `subject` and `unit` name another, as in "  target remoto <= 50 ms: met".
inline void printTarget(
    double figure, Better better, double target, const char *subject = "", const char *unit = "")
{
    const bool met = better == Better::Higher ? figure >= target : figure <= target;
    std::printf("  target %s%s %g%s: %s\n", subject, better == Better::Higher ? ">=" : "<=", target,
        unit, met ? "met" : "MISSED");
    std::fflush(stdout);
}

} // namespace BenchReport

#endif
