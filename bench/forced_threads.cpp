// The tool with the number of threads of its stages forced, so that the
// memory and speed of thread counts this machine does not have can be
// measured (the tool itself always takes the processors it may use):
//
//   build-bench/bench/lomvera_forced_threads THREADS input.tga output.tga

#include <cstdio>
#include <cstdlib>

#include "correction/parallel_runs.h"
#include "driver/driver.h"

int main(int argc, char** argv) {
  if (argc != 4 || std::atoi(argv[1]) < 1) {
    std::fprintf(stderr, "usage: lomvera_forced_threads THREADS input.tga output.tga\n");
    return 1;
  }
  forceWorkerThreads(std::atoi(argv[1]));
  argv[1] = argv[0];
  return runCommandLine(argc - 1, argv + 1);
}
