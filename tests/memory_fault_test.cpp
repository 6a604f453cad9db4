// Shortages by every route, part-way through a file or a folder run. This
// program's operator new, and (where the linker wraps them) malloc and
// calloc, can be set to fail once, at the n-th allocation from then on, on
// whichever thread makes it; every n of a whole processFile call, and of a
// whole folder run, is tried in turn. Where the linker wraps readdir, a
// listing can be made to break off part-way.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <utility>

#ifndef _WIN32
#include <csignal>
#include <dirent.h>
#endif

#include "correction/generator.h"
#include "correction/parallel_runs.h"
#include "driver/driver.h"
#include "test_support.h"

namespace {

// Allocations still to succeed before the one that fails; negative: none fails.
std::atomic<long> allocationsBeforeFailure{-1};

bool failureIsDue() {
  return allocationsBeforeFailure.load() >= 0 && allocationsBeforeFailure.fetch_sub(1) == 0;
}

void failWhenDue() {
  if (failureIsDue()) throw std::bad_alloc();
}

}  // namespace

#ifdef LOMVERA_WRAPPED_MALLOC
// The linker sends this program's own calls of malloc and calloc (the tool's
// code among them) here (--wrap); these call the C library's.
extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __real_calloc(std::size_t count, std::size_t size);
extern "C" void* __wrap_malloc(std::size_t size) {
  if (failureIsDue()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __real_malloc(size);
}
extern "C" void* __wrap_calloc(std::size_t count, std::size_t size) {
  if (failureIsDue()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __real_calloc(count, size);
}
#define LOMVERA_PLAIN_MALLOC __real_malloc
#else
#define LOMVERA_PLAIN_MALLOC std::malloc
#endif

#ifdef LOMVERA_WRAPPED_READDIR
namespace {
// Entries still to be listed before readdir fails (EIO); negative: it never does.
std::atomic<long> entriesBeforeListingFails{-1};
}  // namespace
extern "C" dirent* __real_readdir(DIR* listing);
extern "C" dirent* __wrap_readdir(DIR* listing) {
  if (entriesBeforeListingFails.load() >= 0 && entriesBeforeListingFails.fetch_sub(1) == 0) {
    errno = EIO;
    return nullptr;
  }
  return __real_readdir(listing);
}
#endif

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
  if (void* memory = LOMVERA_PLAIN_MALLOC(size == 0 ? 1 : size)) return memory;
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

// A folder of three pictures, each large enough to be spread over threads
// and to sum every colour cell: columns as lines, rows as lines from a 32-bit
// file, and columns again. Processed in the reverse of the listing order.
struct FolderPicture {
  const char* name;
  int width;
  int height;
  int depth;
};
const FolderPicture kFolderPictures[] = {{"a.tga", 200, 200, 24}, {"b.tga", 260, 180, 32}, {"c.tga", 180, 230, 24}};

// What a folder run printed and returned, with the allocations still to
// succeed (negative: the failure came).
struct FolderRun {
  int status;
  std::string output;
  std::string errors;
  long stillToSucceed;
};
FolderRun runFolder(const std::string& folder, long succeeding, bool commandLineNamedIt = true) {
  ditherState = kDitherSeed;
  FolderRun run{};
  testing::internal::CaptureStderr();
  run.output = consoleOf([&] {
    allocationsBeforeFailure = succeeding;
    run.status = runDirectoryMode(folder, commandLineNamedIt);
    run.stillToSucceed = allocationsBeforeFailure.exchange(-1);
  });
  run.errors = testing::internal::GetCapturedStderr();
  return run;
}

// What a picture comes out as, and where it leaves the generator, when its
// file starts from a given generator state: found by a run without shortage
// of that file alone, and kept.
struct Corrected {
  Bytes bytes;
  std::uint32_t ditherAfter;
};
class CorrectedFiles {
 public:
  explicit CorrectedFiles(const std::string& scratch) : scratch_(scratch) {}
  const Corrected& of(const std::string& input, std::uint32_t start) {
    const auto key = std::make_pair(input, start);
    auto found = known_.find(key);
    if (found != known_.end()) return found->second;
    ditherState = start;
    int result = -1;
    testing::internal::CaptureStderr();
    consoleOf([&] { result = processFile(input.c_str(), scratch_.c_str()); });
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, kProcessed);
    return known_[key] = Corrected{readBytes(scratch_), ditherState};
  }

 private:
  std::string scratch_;
  std::map<std::pair<std::string, std::uint32_t>, Corrected> known_;
};

// A whole folder run with one allocation failing, any of them, by operator
// new, malloc or calloc (where wrapped), on any thread: the listing, the
// names and the kept files' room, or a file's loading, stages or saving.
// Before the first file, the run ends with its error line, the reason and
// status 2, having written nothing; during a file, that file alone fails,
// with its error line and reason, leaving no output, and every other file's
// result has the bytes of a run in which that file failed (the generator
// carries on from where the failed file left it: untouched by a failed load,
// where its whole picture would take it otherwise). Nothing else is left: no
// file, descriptor or held signal. The next run gives the bytes of a run
// without shortage. At 1 and 3 threads.
TEST(MemoryFault, AnyAllocationOfAFolderRunEndsOnlyItsFileOrTheRunBeforeItsFiles) {
  TemporaryDirectory directory;
  const std::string folder = directory.path("scans");
  makeDirectory(folder);
  std::vector<std::string> inputNames;
  for (const FolderPicture& picture : kFolderPictures) {
    writeBytes(folder + platformPathSeparator + picture.name,
               tgaFile(picture.width, picture.height, picture.depth, picture.depth == 32 ? 8 : 0,
                       stripedPicture(picture.width, picture.height, picture.width > picture.height, 7)));
    inputNames.push_back(picture.name);
  }
  CorrectedFiles corrected(directory.path("scratch.tga"));
  platformPrepareProcess();
  forceRowBlockPixels(512);
  for (const int threads : {1, 3}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    forceWorkerThreads(threads);
    const auto removeResults = [&] {
      for (const std::string& name : listDirectory(folder)) {
        if (name.find("_s.tga") != std::string::npos) std::remove((folder + platformPathSeparator + name).c_str());
      }
    };
    const long kMany = 1L << 30;
    removeResults();
    const long allocations = kMany - runFolder(folder, kMany).stillToSucceed;
    ASSERT_GT(allocations, 20);
    int runsEndedEarly = 0;
    int filesFailed = 0;
    for (long n = 0; n < allocations; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      removeResults();
      const std::string held = heldByProcess();
      const FolderRun run = runFolder(folder, n);
      EXPECT_EQ(heldByProcess(), held);
      std::vector<std::string> expectedFiles = inputNames;
      if (run.output.find("Error: cannot open directory") != std::string::npos) {
        ++runsEndedEarly;
        EXPECT_EQ(run.status, kCannotLoad);
        EXPECT_EQ(run.output, "\nError: cannot open directory " + folder + "\n");
        EXPECT_EQ(run.errors, "lomvera: " + folder + ": not enough memory\n");
      } else {
        // The files in processing order, each as the generator reaches it.
        std::uint32_t state = kDitherSeed;
        std::string errors;
        std::string failedNames;
        int failed = 0;
        int worst = kProcessed;
        for (auto picture = std::rbegin(kFolderPictures); picture != std::rend(kFolderPictures); ++picture) {
          const std::string input = folder + platformPathSeparator + picture->name;
          const std::string output = resultPathFor(input);
          const Corrected& whole = corrected.of(input, state);
          const bool loadFailed = run.output.find("\nError: cannot open file " + input + "\n") != std::string::npos;
          const bool saveFailed =
              run.output.find("\nError: cannot save result to file " + output + "\n") != std::string::npos;
          if (loadFailed || saveFailed) {
            errors += "lomvera: " + (loadFailed ? input : output) + ": not enough memory\n";
            failedNames += (failed++ > 0 ? ", " : "") + input;
            worst = std::max(worst, loadFailed ? kCannotLoad : kCannotSave);
          } else {
            EXPECT_EQ(readBytes(output), whole.bytes) << output;
            expectedFiles.push_back(resultPathFor(picture->name));
          }
          if (!loadFailed) state = whole.ditherAfter;
        }
        filesFailed += failed;
        EXPECT_EQ(run.status, worst);
        if (failed > 0) errors += "lomvera: " + folder + ": " + std::to_string(failed) + " of 3 files failed: " + failedNames + "\n";
        EXPECT_EQ(run.errors, errors);
      }
      std::sort(expectedFiles.begin(), expectedFiles.end());
      EXPECT_EQ(listDirectory(folder), expectedFiles);
      removeResults();
      const FolderRun next = runFolder(folder, -1);
      EXPECT_EQ(next.status, kProcessed);
      EXPECT_EQ(next.errors, "");
      std::uint32_t state = kDitherSeed;
      for (auto picture = std::rbegin(kFolderPictures); picture != std::rend(kFolderPictures); ++picture) {
        const std::string input = folder + platformPathSeparator + picture->name;
        const Corrected& whole = corrected.of(input, state);
        EXPECT_EQ(readBytes(resultPathFor(input)), whole.bytes) << input;
        state = whole.ditherAfter;
      }
    }
    // The run's own allocations come first (the listing, the names, the
    // kept files' room); most of the others fail a file.
    EXPECT_GT(runsEndedEarly, 0);
    EXPECT_GE(filesFailed * 2, allocations);
  }
  forceWorkerThreads(0);
  forceRowBlockPixels(0);
}

#ifdef LOMVERA_WRAPPED_READDIR
// A listing that the system breaks off part-way (readdir failing with EIO
// after some entries, the first included) is no listing: the run takes no
// file, tells why, and ends with status 2, also for the current directory,
// which the command line did not name.
TEST(MemoryFault, AListingThatBreaksOffPartWayTakesNoFile) {
  TemporaryDirectory folder;
  for (const char* name : {"a.tga", "b.tga", "c.tga"})
    writeBytes(folder.path(name), tgaFile(6, 5, 24, 0, stripedPicture(6, 5, false, 1)));
  for (const bool named : {true, false}) {
    for (const long entries : {0L, 2L, 4L}) {
      SCOPED_TRACE(std::to_string(entries) + " entries listed, named " + std::to_string(named));
      entriesBeforeListingFails = entries;
      const FolderRun run = runFolder(folder.root(), -1, named);
      entriesBeforeListingFails = -1;
      EXPECT_EQ(run.status, kCannotLoad);
      EXPECT_EQ(run.output, "\nError: cannot open directory " + folder.root() + "\n");
      EXPECT_EQ(run.errors, "lomvera: " + folder.root() + ": cannot be read (" + std::strerror(EIO) + ")\n");
      EXPECT_EQ(listDirectory(folder.root()), (std::vector<std::string>{"a.tga", "b.tga", "c.tga"}));
    }
  }
}
#endif

}  // namespace
