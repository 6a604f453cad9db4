#include "correction/parallel_runs.h"

#include <exception>
#include <thread>
#include <type_traits>

#include "correction/correction.h"
#include "platform/platform.h"

namespace {

// Below this many pixels a picture is corrected on the calling thread alone:
// starting threads and sharing the work then costs more than it saves.
constexpr std::uint64_t kPixelsWorthThreads = 1u << 20;

int forcedThreads = 0;
std::int32_t forcedRowBlockPixels = 0;

int usableProcessors() {
  static const int processors = platformUsableProcessorCount();
  return processors;
}

// The kept threads and the job they are given. One job at a time: only the
// calling thread starts jobs, and it waits for each to end.
struct WorkerPool {
  PlatformLock lock;
  // Kept thread w waits on wake[w] for a job, so that a job wakes only the
  // threads it needs.
  PlatformWake wake[kMaxWorkerThreads];
  PlatformWake ended;            // the calling thread waits for the job's end
  int threads = 0;               // kept threads, workers 1 to threads
  std::uint64_t jobNumber = 0;   // how many jobs have been started
  int taking = 0;                // the job goes to workers 1 to taking
  int busy = 0;                  // workers still in the job
  PoolJob job = nullptr;
  void* context = nullptr;
};

// Made before the program starts and never destroyed (it has nothing to
// destroy): the kept threads wait on it until the process ends.
WorkerPool pool;
static_assert(std::is_trivially_destructible<WorkerPool>::value, "the kept threads use the pool to the end");
WorkerPool& workerPool() { return pool; }

RunQueue queue;

// Kept thread `worker`: takes every job meant for it, from the one after job
// number `seen` on.
void keptThread(int worker, std::uint64_t seen) {
  platformKeepEndingSignalsFromThisThread();
  WorkerPool& pool = workerPool();
  const PlatformLockHeld held(&pool.lock);
  for (;;) {
    platformWaitUntil(&pool.wake[worker], &pool.lock,
                      [&pool, worker, seen] { return pool.jobNumber != seen && worker <= pool.taking; });
    seen = pool.jobNumber;
    const PoolJob job = pool.job;
    void* const context = pool.context;
    platformUnlock(&pool.lock);
    job(context, worker);
    platformLock(&pool.lock);
    if (--pool.busy == 0) platformWakeAll(&pool.ended);
  }
}

}  // namespace

RunQueue& runQueue() { return queue; }

int startPoolJob(int count, PoolJob job, void* context) {
  WorkerPool& pool = workerPool();
  const PlatformLockHeld held(&pool.lock);
  while (pool.threads < count && pool.threads + 1 < kMaxWorkerThreads) {
    // Detached at once: nothing can fail between a start and its count.
    try {
      std::thread(keptThread, pool.threads + 1, pool.jobNumber).detach();
    } catch (const std::exception&) {
      break;
    }
    ++pool.threads;
  }
  pool.taking = count < pool.threads ? count : pool.threads;
  pool.busy = pool.taking;
  pool.job = job;
  pool.context = context;
  ++pool.jobNumber;
  for (int worker = 1; worker <= pool.taking; ++worker) platformWakeOne(&pool.wake[worker]);
  return pool.taking;
}

void finishPoolJob() {
  WorkerPool& pool = workerPool();
  const PlatformLockHeld held(&pool.lock);
  platformWaitUntil(&pool.ended, &pool.lock, [&pool] { return pool.busy == 0; });
}

int workerThreadsFor(std::uint64_t pixels) {
  if (forcedThreads > 0) return forcedThreads;
  if (pixels < kPixelsWorthThreads) return 1;
  return usableProcessors() < kMaxWorkerThreads ? usableProcessors() : kMaxWorkerThreads;
}

void forceWorkerThreads(int count) { forcedThreads = count < kMaxWorkerThreads ? count : kMaxWorkerThreads; }

void forceRowBlockPixels(std::int32_t pixels) { forcedRowBlockPixels = pixels > 0 ? pixels : 0; }

std::int32_t rowBlockPixels() { return forcedRowBlockPixels > 0 ? forcedRowBlockPixels : kRowBlockPixels; }
