#pragma once

// The two stages that walk the lines go through the input in runs of rows.
// Here those runs are spread over threads: each thread works on the runs it
// takes, with state of its own, and the calling thread hands the finished
// runs on (progress dots, the output file) strictly in file order. Whatever
// the number of threads and however they are scheduled, the stages' results
// are the same: every run's work depends only on the run.

#include <cstdint>
#include <vector>

#include "platform/locks.h"

// Most threads ever used, so that the memory of the threads' own state stays
// bounded on any machine.
constexpr int kMaxWorkerThreads = 64;

// The threads for a picture of `pixels` pixels: the processors the process
// may use (platform.h, asked once per run), at most kMaxWorkerThreads; only
// the calling thread for a picture too small to gain from more. The tests
// may force a count (forceWorkerThreads).
int workerThreadsFor(std::uint64_t pixels);
// Uses `count` threads for every picture, small ones included; 0 returns to
// the processors' count. Only for the tests, the fuzz target and the
// benchmark.
void forceWorkerThreads(int count);
// Makes the blocks of rows about `pixels` pixels instead of kRowBlockPixels
// (rowsPerBlock, correction.h), so that a picture of a few hundred pixels
// already has several runs; 0 returns to kRowBlockPixels. The bytes written
// stay the same. Only for the tests and the fuzz target.
void forceRowBlockPixels(std::int32_t pixels);
std::int32_t rowBlockPixels();

// The started threads are kept from one spreading to the next, parked in
// between, so that neither a file's two passes nor a run of many files
// start threads for every pass (at most kMaxWorkerThreads - 1 of them, kept
// until the process ends).
//
// Calls job(context, worker) for workers 1 to count, each on a kept thread,
// starting the threads still missing; returns how many workers took the job,
// fewer than count when the system refuses a thread (a limit on processes,
// no memory for a stack). job must not throw.
using PoolJob = void (*)(void* context, int worker);
int startPoolJob(int count, PoolJob job, void* context);
// Waits until every worker of the job started last has returned from it.
void finishPoolJob();

// What the threads of a spreading share. There is one, for the whole
// process (runQueue): only the calling thread spreads runs, one spreading
// at a time, so its lock and wake are made once and never fail.
struct RunQueue {
  PlatformLock lock;
  PlatformWake changed;
  std::int32_t runCount = 0;
  std::int32_t runsAhead = 0;    // runs that may be taken past the first not yet handed on
  std::int32_t nextToTake = 0;   // the first run no thread has taken
  std::int32_t nextToHandOn = 0; // the first run not yet handed on
  std::vector<char> finished;    // per run: its work is done
  bool stopped = false;          // a run's work or hand-on failed: no run is taken any more
};
RunQueue& runQueue();

// What a spreading did: the threads that took part, the calling thread
// included (fewer than asked when there were fewer runs or the system
// refused some), and whether every run was worked on and handed on.
struct SpreadResult {
  int threads = 0;
  bool complete = false;
};

// Stops the queue after a failed run: no thread takes another, and the
// calling thread hands nothing more on. Called with the lock held.
inline void stopRuns(RunQueue* queue) {
  queue->stopped = true;
  queue->nextToTake = queue->runCount;
  platformWakeAll(&queue->changed);
}

// Calls call() and tells whether it returned; an exception (none is thrown
// on the normal path, but an allocation may fail) ends there, on the thread
// that met it.
template <typename Call>
bool returned(Call call) {
  try {
    call();
    return true;
  } catch (...) {
    return false;
  }
}

// A kept thread: takes runs while there are any it may take, and calls
// work(worker, run) for each. A run may be taken once the run runsAhead
// before it has been handed on; so with runsAhead at least 1 the first run
// not yet handed on can always be taken, and the runs never wait for each
// other in a circle.
template <typename Work>
void workOnRuns(RunQueue* queue, int worker, Work& work) {
  const PlatformLockHeld held(&queue->lock);
  for (;;) {
    platformWaitUntil(&queue->changed, &queue->lock, [queue] {
      return queue->nextToTake == queue->runCount || queue->nextToTake < queue->nextToHandOn + queue->runsAhead;
    });
    if (queue->nextToTake == queue->runCount) return;
    const std::int32_t run = queue->nextToTake++;
    platformUnlock(&queue->lock);
    const bool done = returned([&] { work(worker, run); });
    platformLock(&queue->lock);
    if (!done) {
      stopRuns(queue);
      return;
    }
    queue->finished[static_cast<std::size_t>(run)] = 1;
    // The calling thread may be waiting for this run to hand it on.
    platformWakeAll(&queue->changed);
  }
}

// Runs work(worker, run) for runs 0 to runCount - 1 on `threads` threads, the
// calling thread (worker 0) and threads - 1 kept ones (workers 1 and up),
// and calls handOn(run) on the calling thread for every run in increasing
// order once its work is done. With one thread, or when no thread can be
// started, the calling thread does all the work, each run followed by its
// hand-on.
//
// At most runsAhead runs are taken past the first not yet handed on: run r
// is taken only once run r - runsAhead has been handed on, and its hand-on
// has returned (nextToHandOn moves on after it). State kept per run, such as
// the buffer of run % runsAhead, is therefore free again when its next run
// is taken. runsAhead must be at least 1, or not even the first run could be
// taken: a smaller one is refused, and nothing runs.
//
// An exception thrown by work or handOn stops the queue: no run is taken
// any more, the runs under way end, every thread has left the call before it
// returns, and the result is incomplete. Nothing leaves a thread.
template <typename Work, typename HandOn>
SpreadResult spreadRuns(int threads, std::int32_t runCount, std::int32_t runsAhead, Work work, HandOn handOn) {
  SpreadResult result;
  if (runsAhead < 1 && runCount > 0) return result;
  // Made ready before any thread can see it; an allocation that fails here
  // leaves before the job starts.
  RunQueue& queue = runQueue();
  queue.finished.assign(static_cast<std::size_t>(runCount), 0);
  queue.runCount = runCount;
  queue.runsAhead = runsAhead;
  queue.nextToTake = 0;
  queue.nextToHandOn = 0;
  queue.stopped = false;
  struct Job {
    RunQueue* queue;
    Work* work;
  } job{&queue, &work};
  const PoolJob takeRuns = [](void* context, int worker) {
    Job* taken = static_cast<Job*>(context);
    workOnRuns(taken->queue, worker, *taken->work);
  };
  const int wanted = threads < runCount ? threads : runCount;
  const int helpers = wanted > 1 ? startPoolJob(wanted - 1, takeRuns, &job) : 0;
  result.threads = 1 + helpers;
  if (helpers == 0) {
    for (std::int32_t run = 0; run < runCount; ++run) {
      if (!returned([&] { work(0, run); }) || !returned([&] { handOn(run); })) return result;
    }
    result.complete = true;
    return result;
  }
  platformLock(&queue.lock);
  while (queue.nextToHandOn < runCount && !queue.stopped) {
    const std::int32_t first = queue.nextToHandOn;
    if (queue.finished[static_cast<std::size_t>(first)]) {
      platformUnlock(&queue.lock);
      const bool handedOn = returned([&] { handOn(first); });
      platformLock(&queue.lock);
      if (!handedOn) {
        stopRuns(&queue);
        break;
      }
      ++queue.nextToHandOn;
      // A run further on may be taken now.
      platformWakeAll(&queue.changed);
    } else if (queue.nextToTake < runCount && queue.nextToTake < first + runsAhead) {
      // Nothing to hand on yet: the calling thread works too. It need not
      // notify afterwards: only it waits for finished runs, and the started
      // threads wait only for runs they may take, which its own work does
      // not change.
      const std::int32_t run = queue.nextToTake++;
      platformUnlock(&queue.lock);
      const bool done = returned([&] { work(0, run); });
      platformLock(&queue.lock);
      if (!done) {
        stopRuns(&queue);
        break;
      }
      queue.finished[static_cast<std::size_t>(run)] = 1;
    } else {
      platformWait(&queue.changed, &queue.lock);
    }
  }
  result.complete = !queue.stopped;
  platformUnlock(&queue.lock);
  finishPoolJob();
  return result;
}
