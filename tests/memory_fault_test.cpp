// Memory that runs out part-way through a file. This program's operator new
// can be set to fail once, at the n-th allocation from then on, on whichever
// thread makes it; every n of a whole processFile call is tried in turn.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#ifndef _WIN32
#include <csignal>
#endif

#include "correction/generator.h"
#include "correction/parallel_runs.h"
#include "driver/driver.h"
#include "test_support.h"

namespace {

// Allocations still to succeed before the one that fails; negative: none fails.
std::atomic<long> allocationsBeforeFailure{-1};

void failWhenDue() {
  if (allocationsBeforeFailure.load() >= 0 && allocationsBeforeFailure.fetch_sub(1) == 0) throw std::bad_alloc();
}

}  // namespace

#ifdef LOMVERA_WRAPPED_NEW
// ThreadSanitizer's runtime defines operator new itself: the linker sends the
// program's calls of it here instead (--wrap), and these call it.
extern "C" void* __real__Znwm(std::size_t size);
extern "C" void* __real__Znam(std::size_t size);
extern "C" void* __wrap__Znwm(std::size_t size) {
  failWhenDue();
  return __real__Znwm(size);
}
extern "C" void* __wrap__Znam(std::size_t size) {
  failWhenDue();
  return __real__Znam(size);
}
#else
void* operator new(std::size_t size) {
  failWhenDue();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }
void operator delete[](void* memory, std::size_t) noexcept { operator delete(memory); }
#endif

namespace {

// Runs processFile, from the generator's start, with the allocation after
// `succeeding` ones failing (none for a negative count), and gives its
// result, its standard error, the allocations that were still to succeed
// (negative: the failure came) and the generator's state after it.
struct FileRun {
  int result;
  std::string errors;
  long stillToSucceed;
  std::uint32_t ditherAfter;
};
FileRun runFile(const std::string& input, const std::string& output, long succeeding) {
  ditherState = kDitherSeed;
  FileRun run{};
  testing::internal::CaptureStderr();
  consoleOf([&] {
    allocationsBeforeFailure = succeeding;
    run.result = processFile(input.c_str(), output.c_str());
    run.stillToSucceed = allocationsBeforeFailure.exchange(-1);
    run.ditherAfter = ditherState;
  });
  run.errors = testing::internal::GetCapturedStderr();
  return run;
}

// What a run must give back on POSIX: the signals that end the run, unblocked
// on this (the main) thread, and every descriptor it opened.
std::string heldByProcess() {
#ifdef _WIN32
  return "";
#else
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  return "SIGINT blocked " + std::to_string(sigismember(&blocked, SIGINT)) + ", SIGTERM blocked " +
         std::to_string(sigismember(&blocked, SIGTERM)) + ", descriptors " +
         std::to_string(listDirectory("/proc/self/fd").size());
#endif
}

// Whichever allocation fails, in the loading, the stages (on any of their
// threads) or the saving, the file ends with status 2 or 3 and its reason,
// or, where the failure is taken in stride (a thread not started), with the
// same result as ever; an existing output keeps its bytes, nothing else is
// left (no file, descriptor or held signal), the generator is where the whole
// picture would have left it (untouched after a failed loading), and the next
// file comes out right. With a named temporary file, and (POSIX) with a file
// without a name.
TEST(MemoryFault, AnyAllocationThatFailsEndsOnlyItsFile) {
  TemporaryDirectory directory;
  const std::string input = directory.path("in.tga");
  const std::string output = directory.path("out.tga");
  const Bytes earlier = {'o', 'l', 'd'};
  writeBytes(input, tgaFile(40, 30, 24, 0, stripedPicture(40, 30, false, 5)));
  platformPrepareProcess();
  forceRowBlockPixels(64);
  // Outputs as files without a name (where the system offers them) or as
  // named temporary files, which a listing shows; at 1 and 3 threads.
  struct Row {
    bool unnamedOutputs;
    int threads;
  };
#ifdef _WIN32
  const Row rows[] = {{false, 1}, {false, 3}};
#else
  const Row rows[] = {{false, 1}, {false, 3}, {true, 1}, {true, 3}};
#endif
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.threads) + " threads, unnamed outputs " + std::to_string(row.unnamedOutputs));
    platformAllowUnnamedOutputs(row.unnamedOutputs);
    forceWorkerThreads(row.threads);
    const FileRun full = runFile(input, output, -1);
    ASSERT_EQ(full.result, kProcessed);
    ASSERT_NE(full.ditherAfter, kDitherSeed);
    const Bytes expected = readBytes(output);
    const long kMany = 1L << 30;
    const long allocations = kMany - runFile(input, output, kMany).stillToSucceed;
    // 13 here; fewer under ThreadSanitizer, whose wrapped operator new sees
    // only the calls made from this program's own code.
    ASSERT_GT(allocations, 5);
    int failedFiles = 0;
    for (long n = 0; n < allocations; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      writeBytes(output, earlier);
      const std::string held = heldByProcess();
      const FileRun run = runFile(input, output, n);
      EXPECT_EQ(heldByProcess(), held);
      if (run.result == kProcessed) {
        EXPECT_EQ(run.errors, "");
        EXPECT_EQ(readBytes(output), expected);
      } else {
        ++failedFiles;
        EXPECT_LT(run.stillToSucceed, 0);
        EXPECT_TRUE(run.result == kCannotLoad || run.result == kCannotSave) << run.result;
        EXPECT_EQ(run.errors, "lomvera: " + (run.result == kCannotLoad ? input : output) + ": not enough memory\n");
        EXPECT_EQ(readBytes(output), earlier);
        EXPECT_EQ(run.ditherAfter, run.result == kCannotLoad ? kDitherSeed : full.ditherAfter);
      }
      EXPECT_EQ(listDirectory(directory.root()), (std::vector<std::string>{"in.tga", "out.tga"}));
      EXPECT_EQ(runFile(input, output, -1).result, kProcessed);
      EXPECT_EQ(readBytes(output), expected);
    }
    // Most allocations fail the file; those that start a kept thread are
    // taken in stride, and how many there are depends on the threads the
    // rows before have left running.
    EXPECT_GE(failedFiles * 3, allocations);
  }
  forceWorkerThreads(0);
  forceRowBlockPixels(0);
  platformAllowUnnamedOutputs(true);
}

}  // namespace
