// The spreading of runs over threads when a run's work or hand-on throws
// (an allocation that fails): the process goes on, the runs handed on are
// the first ones in order, and the kept threads serve the next spreading.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#endif

#include "correction/parallel_runs.h"

namespace {

TEST(ParallelRuns, AnExceptionStopsTheRunsAndTheThreadsServeTheNextSpreading) {
  constexpr std::int32_t kRuns = 60;
  for (const bool inHandOn : {false, true}) {
    for (const std::int32_t failing : {0, 1, 2, 29, 59}) {
      SCOPED_TRACE(std::string(inHandOn ? "hand-on" : "work") + " of run " + std::to_string(failing) + " throws");
      std::vector<std::int32_t> handedOn;
      const SpreadResult stopped = spreadRuns(
          3, kRuns, 4,
          [&](int, std::int32_t run) {
            if (!inHandOn && run == failing) throw std::bad_alloc();
          },
          [&](std::int32_t run) {
            if (inHandOn && run == failing) throw std::bad_alloc();
            handedOn.push_back(run);
          });
      EXPECT_FALSE(stopped.complete);
      ASSERT_LE(handedOn.size(), static_cast<std::size_t>(failing));
      for (std::size_t i = 0; i < handedOn.size(); ++i) EXPECT_EQ(handedOn[i], static_cast<std::int32_t>(i));

      std::vector<std::atomic<int>> worked(kRuns);
      handedOn.clear();
      const SpreadResult next = spreadRuns(
          3, kRuns, 4, [&](int, std::int32_t run) { ++worked[static_cast<std::size_t>(run)]; },
          [&](std::int32_t run) { handedOn.push_back(run); });
      EXPECT_TRUE(next.complete);
      EXPECT_EQ(next.threads, 3);
      ASSERT_EQ(handedOn.size(), static_cast<std::size_t>(kRuns));
      for (std::int32_t run = 0; run < kRuns; ++run) {
        EXPECT_EQ(handedOn[static_cast<std::size_t>(run)], run);
        EXPECT_EQ(worked[static_cast<std::size_t>(run)], 1);
      }
    }
  }
  // No run could ever be taken without room for one: refused, nothing runs.
  int calls = 0;
  EXPECT_FALSE(spreadRuns(3, 5, 0, [&](int, std::int32_t) { ++calls; }, [&](std::int32_t) { ++calls; }).complete);
  EXPECT_EQ(calls, 0);
}

// A job for n workers is taken by n: each run waits until every worker
// holds one, which happens only when the kept threads take runs beside the
// calling thread; the wait is bounded, so a queue that leaves the work to
// fewer threads fails instead of hanging. With more runs than workers too:
// the first n runs are held at once.
TEST(ParallelRuns, AJobForSeveralWorkersIsTakenByAllOfThem) {
  for (const int threads : {2, 3, 5}) {
    for (const std::int32_t runs : {threads, 3 * threads}) {
      SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(runs) + " runs");
      std::atomic<int> holding{0};
      std::atomic<int> metAll{0};
      std::vector<std::atomic<int>> workerOfRun(static_cast<std::size_t>(runs));
      const SpreadResult spread = spreadRuns(
          threads, runs, runs,
          [&](int worker, std::int32_t run) {
            workerOfRun[static_cast<std::size_t>(run)] = worker;
            if (run >= threads) return;
            ++holding;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (holding.load() < threads && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            if (holding.load() == threads) ++metAll;
          },
          [](std::int32_t) {});
      EXPECT_TRUE(spread.complete);
      EXPECT_EQ(spread.threads, threads);
      EXPECT_EQ(metAll.load(), threads);
      std::vector<int> workers;
      for (std::int32_t run = 0; run < threads; ++run) workers.push_back(workerOfRun[static_cast<std::size_t>(run)]);
      std::sort(workers.begin(), workers.end());
      for (int worker = 0; worker < threads; ++worker) EXPECT_EQ(workers[static_cast<std::size_t>(worker)], worker);
    }
  }
}

#ifndef _WIN32
// Whether the thread `task` of this process blocks `signalNumber`, from the
// mask /proc shows for it.
bool taskBlocks(const std::string& task, int signalNumber) {
  std::ifstream status("/proc/self/task/" + task + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 7, "SigBlk:") != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (signalNumber - 1) & 1) != 0;
  }
  return false;
}

// The threads of this process that hold back both SIGINT and SIGQUIT, as
// only the kept threads do outside the naming of an output; -1 when /proc
// cannot tell.
int threadsBlockingEndingSignals() {
  int blockingBoth = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  while (const dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    if (taskBlocks(task->d_name, SIGINT) && taskBlocks(task->d_name, SIGQUIT)) ++blockingBoth;
  }
  closedir(tasks);
  return blockingBoth;
}

// A signal that ends the run must reach the main thread, which holds it back
// while it names an output: the kept threads never take one.
TEST(ParallelRuns, KeptThreadsLeaveTheSignalsThatEndTheRunToTheMainThread) {
  spreadRuns(3, 8, 8, [](int, std::int32_t) {}, [](std::int32_t) {});
  EXPECT_GE(threadsBlockingEndingSignals(), 2);  // the two kept threads that took part
}

// A job starts only the kept threads it lacks: counted in a fresh process
// of its own, where a job for one worker keeps one thread (and starts a
// sanitizer's own thread, if any) and one for three then starts two more.
TEST(ParallelRunsDeathTest, AJobStartsNoMoreThreadsThanItAsksFor) {
#ifdef LOMVERA_TOOL_EMULATOR
  // Under an emulator the test program cannot start itself again; the child
  // is then a fork, of a process that ctest starts for this test alone and
  // so holds no kept thread yet.
  GTEST_FLAG_SET(death_test_style, "fast");
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
  EXPECT_EXIT(
      {
        const PoolJob nothing = [](void*, int) {};
        startPoolJob(1, nothing, nullptr);
        finishPoolJob();
        const int before = threadsBlockingEndingSignals();
        startPoolJob(3, nothing, nullptr);
        finishPoolJob();
        std::exit(threadsBlockingEndingSignals() - before);
      },
      ::testing::ExitedWithCode(2), "");
}
#endif

}  // namespace
