// computeShift: one pass over the input file in runs of rows, measuring at
// every position of every triple of lines how far the middle line lies from
// the mean of its outer lines.
//
// With lines as rows a triple is three storage rows, so a run of rows is
// read with the first row of the next run behind it; with lines as columns
// every storage row holds one position of every triple. The runs are spread
// over threads (parallel_runs.h), each adding up its own pending sums, which
// are moved into shiftSums and shiftCounts one thread at a time. The sums are
// whole numbers, so neither the order of the positions nor that of the
// threads changes them.
//
// The pass first clears the tables of the file before. A picture with few
// positions touches few cells: each thread then lists the cells it adds to,
// and moves and clears only those, instead of all 32,768.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "correction/correction.h"
#include "correction/kernels.h"
#include "correction/parallel_runs.h"
#include "correction/progress.h"
#include "platform/console.h"
#include "platform/locks.h"
#include "platform/platform.h"

namespace {

const char* const kComputeShiftLabel = "computing shift  ";

// Two sets of pending sums, added to by turns, make the additions up to a
// third quicker; but they are half a megabyte each, and with many threads one
// set a thread keeps the memory of the threads' state within bounds
// (parallel_runs.h).
constexpr int kThreadsWithTwoSets = 16;

// The threads take the blocks of rows (kRowBlockPixels, correction.h) a few
// at a time, one after the other, so that with lines as rows the row shared
// by two blocks is mostly read once.
constexpr std::int32_t kBlocksPerRun = 4;

// 2b - a - c lies within +-510 at any position (+-405 at a sample), so a
// 32-bit sum takes over 4.2 million of them, those of the positions that are
// not samples included; the pending sums are moved out before 4 million.
constexpr std::int64_t kPositionsBeforeFlush = 4000000;

// A pass of at most this many positions lists the cells it adds to (one
// entry per sample, so repeats are possible), and moves only those.
constexpr std::int64_t kListedPositionsLimit = 16384;

struct FreeBytes {
  void operator()(void* bytes) const { std::free(bytes); }
};

// A worker's pending sums (kernels.h): one set or two (the second then the
// first again) of kPendingCells cells, one per colour cell and one more,
// kNotASampleCell, that collects the positions that are not samples. 32-bit
// sums are quicker to add; they are moved into shiftSums and shiftCounts
// long before one could overflow, and are all zero again after every move.
// They come from calloc, which hands out large blocks as untouched zero
// pages, so that a thread that adds to a few cells only touches a few pages;
// or, for the calling thread, which measures every file and touches them
// all, whole large pages (platform.h). A pass that lists its cells has room
// for every entry it can list before it starts.
constexpr std::size_t kPendingCells = kCellCount + 1;
struct PendingSums {
  std::unique_ptr<void, FreeBytes> storage;
  PendingCell* cells = nullptr;  // in storage
  std::size_t sets = 0;
  std::int64_t positions = 0;        // added since the last move
  std::vector<std::int32_t> listed;  // the cells added to since then, when the pass lists them
};

// Makes the sums `sets` sets, all zero, on large pages when asked, with
// room to list `listed` cells; sums of that many sets are kept. The new
// block exists before the old one goes, so that sums that cannot be made
// are left as they were, whole.
void prepareSums(PendingSums* sums, std::size_t sets, bool largePages, std::size_t listed) {
  sums->listed.reserve(listed);
  if (sums->sets == sets) return;
  const std::size_t page = largePages ? kLargePageAlignment : 1;
  const std::size_t bytes = (sets * kPendingCells * sizeof(PendingCell) + page - 1) / page * page;
  std::unique_ptr<void, FreeBytes> storage(std::calloc(bytes + page - 1, 1));
  if (storage == nullptr) throw std::bad_alloc();
  const auto at = reinterpret_cast<std::uintptr_t>(storage.get());
  sums->storage = std::move(storage);
  sums->cells = reinterpret_cast<PendingCell*>((at + page - 1) / page * page);
  if (largePages) platformPreferLargePages(sums->cells, bytes);
  sums->sets = sets;
}

PendingCell* firstSet(const PendingSums& sums) { return sums.cells; }
PendingCell* secondSet(const PendingSums& sums) { return sums.cells + (sums.sets - 1) * kPendingCells; }

// What one worker works with: its pending sums (the kept ones of its slot,
// or for this pass alone), its measures and its rows, all made by the
// calling thread before the pass starts. With lines as rows, the last row it
// read is kept, so that the next run, when it is the one that follows, need
// not read it again.
struct StatisticsWorker {
  PendingSums* sums = nullptr;
  PendingSums passSums;
  TripleMeasures measures;
  std::unique_ptr<unsigned char[]> rows;  // the file's bytes of a block of rows, uninitialised until read
  std::int32_t rowKept = -1;        // the storage row last read into rows, kept for the next block, or -1
  bool readFailed = false;
};

// What the threads of one pass share.
struct StatisticsPass {
  std::int32_t triples = 0;
  std::int32_t width = 0;
  std::int32_t rows = 0;          // storage rows that hold triples
  unsigned pixelBytes = 0;
  std::int32_t rowsPerBlock = 0;  // rows read at once
  bool listsCells = false;        // whether the threads list the cells they add to
};

// The tables are filled under this lock, made once for the process.
PlatformLock tablesLock;

// The pending sums that each worker keeps from pass to pass, by worker
// number: worker w always runs on the same thread (worker 0 on the calling
// thread, the others on the kept threads), so its slot serves it alone.
PendingSums keptSums[kMaxWorkerThreads];

// Sets every entry of shiftSums and shiftCounts to 0, whatever the file
// before left there.
void clearTables() {
  std::memset(shiftSums, 0, sizeof shiftSums);
  std::memset(shiftCounts, 0, sizeof shiftCounts);
}

// Adds one cell of pending sums, one set or two, to the tables and clears it.
void moveCell(std::int32_t cell, const PendingSums& sums) {
  PendingCell* first = firstSet(sums);
  PendingCell* second = secondSet(sums);
  const PendingCell moved[2] = {first[cell], second != first ? second[cell] : PendingCell{}};
  for (int channel = 0; channel < kChannelCount; ++channel) {
    // Channel 0 is red, byte 2 of a pixel.
    shiftSums[cell][channel] += std::int64_t{moved[0].sum[2 - channel]} + moved[1].sum[2 - channel];
    shiftCounts[cell][channel] += kCountPerSample * (std::int64_t{moved[0].samples} + moved[1].samples);
  }
  first[cell] = second[cell] = PendingCell{};
}

// Moves pending sums into the tables, the cells listed or all, and clears
// them.
void movePendingSums(StatisticsPass* pass, PendingSums* sums) {
  const PlatformLockHeld held(&tablesLock);
  if (pass->listsCells) {
    for (const std::int32_t cell : sums->listed) moveCell(cell, *sums);
  } else {
    for (std::int32_t cell = 0; cell < kCellCount; ++cell) moveCell(cell, *sums);
  }
  firstSet(*sums)[kNotASampleCell] = secondSet(*sums)[kNotASampleCell] = PendingCell{};
  sums->listed.clear();
  sums->positions = 0;
}

// Lists the cells of the samples among `count` measured positions.
void listSampledCells(const TripleMeasures& measures, std::int32_t count, std::vector<std::int32_t>* listed) {
  constexpr auto kCellBytes = static_cast<std::int32_t>(sizeof(PendingCell));
  for (std::int32_t k = 0; k < count; ++k) {
    if (measures.cellOffset[k] != kNotASampleCell * kCellBytes) listed->push_back(measures.cellOffset[k] / kCellBytes);
  }
}

// Measures `count` positions with measure(measures) and adds them up.
template <typename Measure>
void measureAndAdd(StatisticsPass* pass, StatisticsWorker* worker, std::int32_t count, Measure measure) {
  PendingSums* sums = worker->sums;
  if (sums->positions + count > kPositionsBeforeFlush) movePendingSums(pass, sums);
  sums->positions += count;
  measure(&worker->measures);
  if (pass->listsCells) listSampledCells(worker->measures, count, &sums->listed);
  addMeasures(worker->measures, count, firstSet(*sums), secondSet(*sums));
}

// The triple of storage rows whose file bytes are a, b and c.
void sampleRowTriple(StatisticsPass* pass, StatisticsWorker* worker, const unsigned char* a, const unsigned char* b,
                     const unsigned char* c) {
  const std::int32_t width = pass->width;
  for (std::int32_t first = 0; first < width; first += kMeasureBlock) {
    const std::int32_t count = width - first < kMeasureBlock ? width - first : kMeasureBlock;
    const std::size_t at = static_cast<std::size_t>(first) * pass->pixelBytes;
    measureAndAdd(pass, worker, count, [&](TripleMeasures* m) {
      measureRowTriples(a + at, b + at, c + at, pass->pixelBytes, count, m);
    });
  }
}

// The first triple whose first row lies in block `block` of rows: triple t
// is storage rows 2t, 2t + 1 and 2t + 2.
std::int32_t firstTripleOfBlock(const StatisticsPass& pass, std::int32_t block) {
  const std::int32_t triple = block * (pass.rowsPerBlock / 2);
  return triple < pass.triples ? triple : pass.triples;
}

// Lines as rows: reads the rows of the block's triples, the first row of the
// next block included, and samples them.
void sampleRowBlock(StatisticsPass* pass, StatisticsWorker* worker, std::int32_t block) {
  const std::int32_t firstTriple = firstTripleOfBlock(*pass, block);
  const std::int32_t endTriple = firstTripleOfBlock(*pass, block + 1);
  const std::int32_t firstRow = 2 * firstTriple;
  const RunRows run = inputImage.runAt(worker->rows.get(), 2 * (endTriple - firstTriple) + 1);
  std::int32_t kept = 0;
  if (worker->rowKept == firstRow) {
    // The last row of the full block before, where that block put it.
    const RunRows before = inputImage.runAt(worker->rows.get(), pass->rowsPerBlock + 1);
    std::memmove(run.row(0), before.row(pass->rowsPerBlock), run.rowBytes);
    kept = 1;
  }
  worker->rowKept = -1;
  // The rows after the kept one lie together, from the first of them or, in
  // reverse, from the last.
  unsigned char* readAt = run.reversed ? run.row(run.count - 1) : run.row(kept);
  if (!inputImage.readPixelBytes(firstRow + kept, run.count - kept, readAt)) {
    worker->readFailed = true;
    return;
  }
  for (std::int32_t t = 0; t < endTriple - firstTriple; ++t)
    sampleRowTriple(pass, worker, run.row(2 * t), run.row(2 * t + 1), run.row(2 * t + 2));
  // A full block's last row is the first row of the next block.
  if (run.count == pass->rowsPerBlock + 1) worker->rowKept = firstRow + pass->rowsPerBlock;
}

// Lines as columns: in every storage row the triples are the pixels
// (0, 1, 2), (2, 3, 4), ...
void sampleColumnBlock(StatisticsPass* pass, StatisticsWorker* worker, std::int32_t block) {
  const std::int32_t rows = inputImage.height;
  const std::int32_t y = block * pass->rowsPerBlock;
  const RunRows run = inputImage.runAt(worker->rows.get(), rows - y < pass->rowsPerBlock ? rows - y : pass->rowsPerBlock);
  if (!inputImage.readPixelBytes(y, run.count, run.bytes)) {
    worker->readFailed = true;
    return;
  }
  for (std::int32_t r = 0; r < run.count; ++r) {
    for (std::int32_t first = 0; first < pass->triples; first += kMeasureBlock) {
      const std::int32_t n = pass->triples - first < kMeasureBlock ? pass->triples - first : kMeasureBlock;
      const unsigned char* at = run.row(r) + 2 * static_cast<std::size_t>(first) * pass->pixelBytes;
      measureAndAdd(pass, worker, n, [&](TripleMeasures* m) { measureColumnTriples(at, pass->pixelBytes, n, m); });
    }
  }
}

// Makes a worker's state, on the calling thread before the pass starts, so
// that no worker allocates while the pass runs and the sums moved after it
// are always whole. Each worker keeps its pending sums from pass to pass,
// all zero again after every move, so that the passes of small pictures
// allocate nothing: the calling thread (worker 0), which measures every
// file, always; a started one for a pass that lists its cells. For a larger
// pass a started thread adds to sums for the pass alone, so that their
// pages, all touched, do not add to the memory of the correction pass. Its
// rows hold a block and the row after it, or the pass's rows.
void prepareWorker(const StatisticsPass& pass, int threads, int w, StatisticsWorker* worker) {
  const std::int32_t rows = pass.rowsPerBlock + 1 < pass.rows ? pass.rowsPerBlock + 1 : pass.rows;
  worker->rows.reset(new unsigned char[static_cast<std::size_t>(pass.width) * pass.pixelBytes *
                                           static_cast<std::size_t>(rows) + kPixelBytesSlack]);
  PendingSums* sums = w == 0 || pass.listsCells ? &keptSums[w] : &worker->passSums;
  prepareSums(sums, w == 0 || threads <= kThreadsWithTwoSets ? 2 : 1, w == 0,
              pass.listsCells ? static_cast<std::size_t>(kListedPositionsLimit) : 0);
  worker->sums = sums;
}

// Samples every triple, the runs of blocks spread over threads, and moves
// the sums into the tables. Returns false when some rows could not be read
// or a thread could not finish its work.
bool sampleTriples(StatisticsPass* pass, ProgressDots* dots) {
  const bool linesAreRows = inputImage.transposed != 0;
  const std::int32_t rows = pass->rows;
  const std::int32_t blocks = (rows - (linesAreRows ? 1 : 0) + pass->rowsPerBlock - 1) / pass->rowsPerBlock;
  const std::int32_t runs = (blocks + kBlocksPerRun - 1) / kBlocksPerRun;
  const int threads = workerThreadsFor(inputImage.pixelCount());
  std::vector<StatisticsWorker> workers(static_cast<std::size_t>(threads < runs ? threads : runs));
  for (std::size_t w = 0; w < workers.size(); ++w)
    prepareWorker(*pass, static_cast<int>(workers.size()), static_cast<int>(w), &workers[w]);
  const auto endBlockOfRun = [blocks](std::int32_t run) {
    return (run + 1) * kBlocksPerRun < blocks ? (run + 1) * kBlocksPerRun : blocks;
  };
  const SpreadResult spread = spreadRuns(
      static_cast<int>(workers.size()), runs, runs,
      [&](int w, std::int32_t run) {
        StatisticsWorker* worker = &workers[static_cast<std::size_t>(w)];
        for (std::int32_t block = run * kBlocksPerRun; block < endBlockOfRun(run); ++block) {
          if (linesAreRows) {
            sampleRowBlock(pass, worker, block);
          } else {
            sampleColumnBlock(pass, worker, block);
          }
        }
      },
      [&](std::int32_t run) {
        if (linesAreRows) {
          advanceDots(dots, firstTripleOfBlock(*pass, endBlockOfRun(run)), pass->triples);
        } else {
          const std::int32_t end = endBlockOfRun(run) * pass->rowsPerBlock;
          advanceDots(dots, end < rows ? end : rows, rows);
        }
      });
  statisticsSpread = {spread.threads, runs};
  bool allRead = spread.complete;
  for (StatisticsWorker& worker : workers) {
    // A worker that added nothing (it took no run) has nothing to move.
    if (worker.sums->positions > 0) movePendingSums(pass, worker.sums);
    allRead = allRead && !worker.readFailed;
  }
  return allRead;
}

}  // namespace

void computeShift() {
  platformPreferLargePages(&correctionTables, sizeof correctionTables);
  printNow("%s", kComputeShiftLabel);
  clearTables();
  statisticsSpread = PassSpread{};
  StatisticsPass pass;
  pass.triples = lineCount > 2 ? (lineCount - 1) / 2 : 0;
  pass.width = inputImage.width;
  pass.rows = inputImage.transposed ? 2 * pass.triples + 1 : inputImage.height;
  pass.pixelBytes = inputImage.pixelBytes();
  pass.rowsPerBlock = rowsPerBlock(inputImage.width);
  pass.listsCells = std::int64_t{pass.triples} * lineLength <= kListedPositionsLimit;
  ProgressDots dots = dotsForWalk(pass.triples, lineCount);
  // Corrections made with sums of part of the picture must not reach the
  // output, not even its first rows.
  if (pass.triples > 0 && lineLength > 0 && !sampleTriples(&pass, &dots)) outputImage.failWrites();
  advanceDots(&dots, 1, 1);
  printNow("\n");
}
