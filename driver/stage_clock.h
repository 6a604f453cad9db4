#pragma once

// Stage timing for the benchmark. Only the timed build (CMake option
// LOMVERA_BUILD_BENCHMARKS, program lomvera_timed, compiled with
// LOMVERA_STAGE_TIMES) measures anything: it prints one line per file on
// standard error,
//
//   stage times ms: load 80.1 statistics 60.2 table 0.9 application 150.3 save 120.4 threads 2
//
// where threads is the number of threads the two line-walking stages used.
//
// In the normal build these functions are empty and the tool prints nothing
// more than its own messages.

#include <cstdint>

#if defined(LOMVERA_STAGE_TIMES)
// Starts the clock of a file.
void stageClockStart();
// Ends the stage that has run since the previous mark.
void stageClockMark(const char* stage);
// Prints the stages marked since the start, and the threads the stages used
// for a picture of `pixels` pixels.
void stageClockReport(std::uint64_t pixels);
#else
inline void stageClockStart() {}
inline void stageClockMark(const char*) {}
inline void stageClockReport(std::uint64_t) {}
#endif
