#pragma once

// Stage timing for the benchmark. Only the timed build (CMake option
// LOMVERA_BUILD_BENCHMARKS, program lomvera_timed, compiled with
// LOMVERA_STAGE_TIMES) measures anything: it prints one line per file on
// standard error,
//
//   stage times ms: load 80.1 statistics 60.2 table 0.9 application 150.3 save 120.4 threads 2
//   stage threads: statistics 2 of 12 runs, application 2 of 46 runs
//
// where threads is the most threads either line-walking stage really used
// (the calling thread included; fewer than the processors when the picture
// has fewer runs, or the system refused a thread), and the second line gives
// each stage's own.
//
// In the normal build these functions are empty and the tool prints nothing
// more than its own messages; the timed build's own are in bench/.

#include <cstdint>

#if defined(LOMVERA_STAGE_TIMES)
// Starts the clock of a file.
void stageClockStart();
// Ends the stage that has run since the previous mark.
void stageClockMark(const char* stage);
// Prints the stages marked since the start, and the threads the stages used.
void stageClockReport();
#else
inline void stageClockStart() {}
inline void stageClockMark(const char*) {}
inline void stageClockReport() {}
#endif
