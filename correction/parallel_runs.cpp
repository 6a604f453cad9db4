#include "correction/parallel_runs.h"

#include <exception>
#include <thread>

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
  std::mutex lock;
  // Kept thread w waits on wake[w] for a job, so that a job wakes only the
  // threads it needs.
  std::condition_variable wake[kMaxWorkerThreads];
  std::condition_variable ended; // the calling thread waits for the job's end
  int threads = 0;               // kept threads, workers 1 to threads
  std::uint64_t jobNumber = 0;   // how many jobs have been started
  int taking = 0;                // the job goes to workers 1 to taking
  int busy = 0;                  // workers still in the job
  PoolJob job = nullptr;
  void* context = nullptr;
};

// Never destroyed: the kept threads wait on it until the process ends.
WorkerPool& workerPool() {
  static WorkerPool* const pool = new WorkerPool;
  return *pool;
}

// Kept thread `worker`: takes every job meant for it, from the one after job
// number `seen` on.
void keptThread(int worker, std::uint64_t seen) {
  platformKeepEndingSignalsFromThisThread();
  WorkerPool& pool = workerPool();
  std::unique_lock<std::mutex> held(pool.lock);
  for (;;) {
    pool.wake[worker].wait(held, [&pool, worker, seen] { return pool.jobNumber != seen && worker <= pool.taking; });
    seen = pool.jobNumber;
    const PoolJob job = pool.job;
    void* const context = pool.context;
    held.unlock();
    job(context, worker);
    held.lock();
    if (--pool.busy == 0) pool.ended.notify_all();
  }
}

}  // namespace

int startPoolJob(int count, PoolJob job, void* context) {
  WorkerPool& pool = workerPool();
  std::lock_guard<std::mutex> held(pool.lock);
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
  for (int worker = 1; worker <= pool.taking; ++worker) pool.wake[worker].notify_one();
  return pool.taking;
}

void finishPoolJob() {
  WorkerPool& pool = workerPool();
  std::unique_lock<std::mutex> held(pool.lock);
  pool.ended.wait(held, [&pool] { return pool.busy == 0; });
}

int workerThreadsFor(std::uint64_t pixels) {
  if (forcedThreads > 0) return forcedThreads;
  if (pixels < kPixelsWorthThreads) return 1;
  return usableProcessors() < kMaxWorkerThreads ? usableProcessors() : kMaxWorkerThreads;
}

void forceWorkerThreads(int count) { forcedThreads = count < kMaxWorkerThreads ? count : kMaxWorkerThreads; }

void forceRowBlockPixels(std::int32_t pixels) { forcedRowBlockPixels = pixels > 0 ? pixels : 0; }

std::int32_t rowBlockPixels() { return forcedRowBlockPixels > 0 ? forcedRowBlockPixels : kRowBlockPixels; }
