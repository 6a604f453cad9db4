#pragma once

// The two stages that walk the lines go through the input in runs of rows.
// Here those runs are spread over threads: each thread works on the runs it
// takes, with state of its own, and the calling thread hands the finished
// runs on (progress dots, the output file) strictly in file order. Whatever
// the number of threads and however they are scheduled, the stages' results
// are the same: every run's work depends only on the run.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

// Most threads ever used, so that the memory of the threads' own state stays
// bounded on any machine.
constexpr int kMaxWorkerThreads = 64;

// The threads for a picture of `pixels` pixels: the processors the process
// may use (platform.h, asked once per run), at most kMaxWorkerThreads; only
// the calling thread for a picture too small to gain from more. The tests
// may force a count (forceWorkerThreads).
int workerThreadsFor(std::uint64_t pixels);
// Uses `count` threads for every picture, small ones included; 0 returns to
// the processors' count. Only for the tests and the benchmark.
void forceWorkerThreads(int count);

// What the threads of one spreading share.
struct RunQueue {
  std::mutex lock;
  std::condition_variable changed;
  std::int32_t runCount = 0;
  std::int32_t runsAhead = 0;    // runs that may be taken past the first not yet handed on
  std::int32_t nextToTake = 0;   // the first run no thread has taken
  std::int32_t nextToHandOn = 0; // the first run not yet handed on
  std::vector<char> finished;    // per run: its work is done
};

// A started thread: takes runs while there are any it may take, and calls
// work(worker, run) for each.
template <typename Work>
void workOnRuns(RunQueue* queue, int worker, Work& work) {
  std::unique_lock<std::mutex> held(queue->lock);
  for (;;) {
    queue->changed.wait(held, [queue] {
      return queue->nextToTake == queue->runCount || queue->nextToTake < queue->nextToHandOn + queue->runsAhead;
    });
    if (queue->nextToTake == queue->runCount) return;
    const std::int32_t run = queue->nextToTake++;
    held.unlock();
    work(worker, run);
    held.lock();
    queue->finished[static_cast<std::size_t>(run)] = 1;
    queue->changed.notify_all();
  }
}

// Runs work(worker, run) for runs 0 to runCount - 1 on `threads` threads, the
// calling thread (worker 0) and threads - 1 started for the call (workers 1
// and up), and calls handOn(run) on the calling thread for every run in
// increasing order once its work is done. At most runsAhead runs are taken
// past the first not yet handed on, so that state kept per run (such as the
// buffer of run % runsAhead) is free again when its next run is taken. With
// one thread, or when no thread can be started, the calling thread does all
// the work, each run followed by its hand-on.
template <typename Work, typename HandOn>
void spreadRuns(int threads, std::int32_t runCount, std::int32_t runsAhead, Work work, HandOn handOn) {
  RunQueue queue;
  queue.runCount = runCount;
  queue.runsAhead = runsAhead;
  queue.finished.assign(static_cast<std::size_t>(runCount), 0);
  std::vector<std::thread> started;
  for (int worker = 1; worker < threads && worker < runCount; ++worker) {
    // A system that refuses another thread (a limit on processes) leaves the
    // work to those already there.
    try {
      started.emplace_back([&queue, &work, worker] { workOnRuns(&queue, worker, work); });
    } catch (const std::system_error&) {
      break;
    }
  }
  if (started.empty()) {
    for (std::int32_t run = 0; run < runCount; ++run) {
      work(0, run);
      handOn(run);
    }
    return;
  }
  std::unique_lock<std::mutex> held(queue.lock);
  while (queue.nextToHandOn < runCount) {
    const std::int32_t first = queue.nextToHandOn;
    if (queue.finished[static_cast<std::size_t>(first)]) {
      held.unlock();
      handOn(first);
      held.lock();
      ++queue.nextToHandOn;
      queue.changed.notify_all();
    } else if (queue.nextToTake < runCount && queue.nextToTake < first + runsAhead) {
      // Nothing to hand on yet: the calling thread works too.
      const std::int32_t run = queue.nextToTake++;
      held.unlock();
      work(0, run);
      held.lock();
      queue.finished[static_cast<std::size_t>(run)] = 1;
    } else {
      queue.changed.wait(held);
    }
  }
  held.unlock();
  for (std::thread& thread : started) thread.join();
}
