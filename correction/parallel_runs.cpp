#include "correction/parallel_runs.h"

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

}  // namespace

int workerThreadsFor(std::uint64_t pixels) {
  if (forcedThreads > 0) return forcedThreads;
  if (pixels < kPixelsWorthThreads) return 1;
  return usableProcessors() < kMaxWorkerThreads ? usableProcessors() : kMaxWorkerThreads;
}

void forceWorkerThreads(int count) { forcedThreads = count < kMaxWorkerThreads ? count : kMaxWorkerThreads; }

void forceRowBlockPixels(std::int32_t pixels) { forcedRowBlockPixels = pixels > 0 ? pixels : 0; }

std::int32_t rowBlockPixels() { return forcedRowBlockPixels > 0 ? forcedRowBlockPixels : kRowBlockPixels; }
