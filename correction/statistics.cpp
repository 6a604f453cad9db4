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

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "correction/correction.h"
#include "correction/kernels.h"
#include "correction/parallel_runs.h"
#include "correction/progress.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace {

const char* const kComputeShiftLabel = "computing shift  ";

// Sets of pending sums (kernels.h), one slot per cell and one more,
// kNotASampleCell, that collects the positions that are not samples. 32-bit
// sums are quicker to add; they are moved out long before one could overflow,
// and are all zero again after every move.
constexpr std::size_t kPendingCells = kCellCount + 1;
// Two sets, added to by turns, make the additions up to a third quicker; but
// they are half a megabyte each, and with many threads one set a thread
// keeps the memory of the threads' state within bounds (parallel_runs.h).
constexpr int kThreadsWithTwoSets = 16;

// The threads take the blocks of rows (kRowBlockPixels, correction.h) a few
// at a time, one after the other, so that with lines as rows the row shared
// by two blocks is mostly read once.
constexpr std::int32_t kBlocksPerRun = 4;

// 2b - a - c lies within +-510 at any position (+-405 at a sample), so a
// 32-bit sum takes over 4.2 million of them, those of the positions that are
// not samples included; the pending sums are moved out before 4 million.
constexpr std::int64_t kPositionsBeforeFlush = 4000000;

// The calling thread's pending sums, in a block aligned for a large page
// (platform.h), since it measures every file; started threads have their own.
struct alignas(kLargePageAlignment) CallingThreadSums {
  PendingCell cells[2][kPendingCells];
};
CallingThreadSums callingThreadSums;

// A pass of at most this many positions lists the cells it adds to (one
// entry per sample, so repeats are possible), and moves only those.
constexpr std::int64_t kListedPositionsLimit = 16384;

// Pending sums that start at zero and are freed with std::free: calloc hands
// out large blocks as untouched zero pages, so a thread that adds to a few
// cells only touches a few pages.
struct FreeCells {
  void operator()(PendingCell* cells) const { std::free(cells); }
};
std::unique_ptr<PendingCell[], FreeCells> zeroedCells(std::size_t count) {
  auto* cells = static_cast<PendingCell*>(std::calloc(count, sizeof(PendingCell)));
  if (cells == nullptr) throw std::bad_alloc();
  return std::unique_ptr<PendingCell[], FreeCells>(cells);
}

// What one thread works with: its own pending sums (two sets, or one set
// given as both), its measures and its rows, set up by the thread itself when
// it takes its first run. With lines as rows, the last row it read is kept,
// so that the next run, when it is the one that follows, need not read it
// again.
struct StatisticsWorker {
  std::unique_ptr<PendingCell[], FreeCells> passCells;  // a started thread's sums for this pass alone
  PendingCell* first = nullptr;
  PendingCell* second = nullptr;
  std::int64_t pendingPositions = 0;
  TripleMeasures measures;
  std::vector<unsigned char> rows;  // the file's bytes of a block of rows
  std::int32_t rowKept = -1;        // the storage row last read into rows, kept for the next block, or -1
  std::vector<std::int32_t> cellsListed;  // the cells added to, when the pass lists them
  bool readFailed = false;
};

// What the threads of one pass share. The tables are filled under the lock.
struct StatisticsPass {
  std::int32_t triples = 0;
  std::int32_t width = 0;
  std::int32_t rows = 0;          // storage rows that hold triples
  unsigned pixelBytes = 0;
  std::int32_t rowsPerBlock = 0;  // rows read at once
  bool listsCells = false;        // whether the threads list the cells they add to
  std::mutex tablesLock;
};

// Sets every entry of shiftSums and shiftCounts to 0, whatever the file
// before left there.
void clearTables() {
  std::memset(shiftSums, 0, sizeof shiftSums);
  std::memset(shiftCounts, 0, sizeof shiftCounts);
}

// Adds one cell of a thread's pending sums, one set or two, to the tables
// and clears it.
void moveCell(std::int32_t cell, PendingCell* firstSet, PendingCell* secondSet) {
  const PendingCell first = firstSet[cell];
  const PendingCell second = secondSet != firstSet ? secondSet[cell] : PendingCell{};
  for (int channel = 0; channel < kChannelCount; ++channel) {
    // Channel 0 is red, byte 2 of a pixel.
    shiftSums[cell][channel] += std::int64_t{first.sum[2 - channel]} + second.sum[2 - channel];
    shiftCounts[cell][channel] += kCountPerSample * (std::int64_t{first.samples} + second.samples);
  }
  firstSet[cell] = PendingCell{};
  secondSet[cell] = PendingCell{};
}

// Moves a thread's pending sums into the tables and clears them: the cells
// it listed, or all.
void movePendingSums(StatisticsPass* pass, StatisticsWorker* worker) {
  std::lock_guard<std::mutex> held(pass->tablesLock);
  if (pass->listsCells) {
    for (const std::int32_t cell : worker->cellsListed) moveCell(cell, worker->first, worker->second);
    worker->cellsListed.clear();
  } else {
    for (std::int32_t cell = 0; cell < kCellCount; ++cell) moveCell(cell, worker->first, worker->second);
  }
  worker->first[kNotASampleCell] = PendingCell{};
  worker->second[kNotASampleCell] = PendingCell{};
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
  if (worker->pendingPositions + count > kPositionsBeforeFlush) {
    movePendingSums(pass, worker);
    worker->pendingPositions = 0;
  }
  worker->pendingPositions += count;
  measure(&worker->measures);
  if (pass->listsCells) listSampledCells(worker->measures, count, &worker->cellsListed);
  addMeasures(worker->measures, count, worker->first, worker->second);
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

// The file bytes of row `row` of a block's rows.
unsigned char* blockRow(StatisticsPass* pass, StatisticsWorker* worker, std::int32_t row) {
  return worker->rows.data() + static_cast<std::size_t>(pass->width) * pass->pixelBytes * static_cast<std::size_t>(row);
}

// The first triple whose first row lies in block `block` of rows: triple t
// is storage rows 2t, 2t + 1 and 2t + 2.
std::int32_t firstTripleOfBlock(const StatisticsPass& pass, std::int32_t block) {
  const std::int32_t triple = block * (pass.rowsPerBlock / 2);
  return triple < pass.triples ? triple : pass.triples;
}

// Lines as rows: reads the rows of the block's triples, the first row of the
// next block included, and samples them. The block's rows k lie at
// rowInRun(k) of the rows read (image.h).
void sampleRowBlock(StatisticsPass* pass, StatisticsWorker* worker, std::int32_t block) {
  const std::int32_t firstTriple = firstTripleOfBlock(*pass, block);
  const std::int32_t endTriple = firstTripleOfBlock(*pass, block + 1);
  const std::int32_t firstRow = 2 * firstTriple;
  const std::int32_t rowCount = 2 * (endTriple - firstTriple) + 1;
  const std::size_t rowBytes = static_cast<std::size_t>(pass->width) * pass->pixelBytes;
  const auto at = [&](std::int32_t k) { return inputImage.rowInRun(k, rowCount); };
  std::int32_t kept = 0;
  if (worker->rowKept == firstRow) {
    // The last row of the full block before, where that block put it.
    std::memmove(blockRow(pass, worker, at(0)),
                 blockRow(pass, worker, inputImage.rowInRun(pass->rowsPerBlock, pass->rowsPerBlock + 1)), rowBytes);
    kept = 1;
  }
  worker->rowKept = -1;
  // The rows after the kept one lie together, the lowest of them at at(1)
  // or, in reverse, the highest at at(rowCount - 1).
  const std::int32_t readAt = at(kept) < at(rowCount - 1) ? at(kept) : at(rowCount - 1);
  if (!inputImage.readPixelBytes(firstRow + kept, rowCount - kept, blockRow(pass, worker, readAt))) {
    worker->readFailed = true;
    return;
  }
  for (std::int32_t t = 0; t < endTriple - firstTriple; ++t) {
    sampleRowTriple(pass, worker, blockRow(pass, worker, at(2 * t)), blockRow(pass, worker, at(2 * t + 1)),
                    blockRow(pass, worker, at(2 * t + 2)));
  }
  // A full block's last row is the first row of the next block.
  if (rowCount == pass->rowsPerBlock + 1) worker->rowKept = firstRow + pass->rowsPerBlock;
}

// Lines as columns: in every storage row the triples are the pixels
// (0, 1, 2), (2, 3, 4), ...
void sampleColumnBlock(StatisticsPass* pass, StatisticsWorker* worker, std::int32_t block) {
  const std::int32_t rows = inputImage.height;
  const std::int32_t y = block * pass->rowsPerBlock;
  const std::int32_t count = rows - y < pass->rowsPerBlock ? rows - y : pass->rowsPerBlock;
  if (!inputImage.readPixelBytes(y, count, worker->rows.data())) {
    worker->readFailed = true;
    return;
  }
  for (std::int32_t r = 0; r < count; ++r) {
    const unsigned char* row = blockRow(pass, worker, r);
    for (std::int32_t first = 0; first < pass->triples; first += kMeasureBlock) {
      const std::int32_t n = pass->triples - first < kMeasureBlock ? pass->triples - first : kMeasureBlock;
      const unsigned char* at = row + 2 * static_cast<std::size_t>(first) * pass->pixelBytes;
      measureAndAdd(pass, worker, n, [&](TripleMeasures* m) { measureColumnTriples(at, pass->pixelBytes, n, m); });
    }
  }
}

// Sets up a thread's state when it takes its first run; it runs on that
// thread. The calling thread (worker 0) adds to its own block of sums. A
// started one adds to sums of its own, all zero from the start (zeroedCells):
// for a pass that lists its cells, the sums the thread keeps from pass to pass
// as the calling thread does, all zero again after every move, so that the
// passes of small pictures allocate nothing; for a larger pass, sums for the
// pass alone, so that their pages, all touched, do not add to the memory of
// the correction pass. Its rows hold a block and the row after it, or the
// pass's rows.
void prepareWorker(const StatisticsPass& pass, int threads, int w, StatisticsWorker* worker) {
  if (worker->first != nullptr) return;
  const std::int32_t rows = pass.rowsPerBlock + 1 < pass.rows ? pass.rowsPerBlock + 1 : pass.rows;
  worker->rows.resize(static_cast<std::size_t>(pass.width) * pass.pixelBytes * static_cast<std::size_t>(rows) +
                      kPixelBytesSlack);
  if (w == 0) {
    worker->first = callingThreadSums.cells[0];
    worker->second = callingThreadSums.cells[1];
    return;
  }
  const std::size_t sets = threads <= kThreadsWithTwoSets ? 2 : 1;
  thread_local std::unique_ptr<PendingCell[], FreeCells> keptCells;
  thread_local std::size_t keptSets = 0;
  if (pass.listsCells) {
    if (keptSets != sets) {
      keptCells = zeroedCells(sets * kPendingCells);
      keptSets = sets;
    }
    worker->first = keptCells.get();
  } else {
    worker->passCells = zeroedCells(sets * kPendingCells);
    worker->first = worker->passCells.get();
  }
  worker->second = worker->first + (sets - 1) * kPendingCells;
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
  const auto endBlockOfRun = [blocks](std::int32_t run) {
    return (run + 1) * kBlocksPerRun < blocks ? (run + 1) * kBlocksPerRun : blocks;
  };
  const SpreadResult spread = spreadRuns(
      static_cast<int>(workers.size()), runs, runs,
      [&](int w, std::int32_t run) {
        StatisticsWorker* worker = &workers[static_cast<std::size_t>(w)];
        prepareWorker(*pass, static_cast<int>(workers.size()), w, worker);
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
    if (worker.first != nullptr) movePendingSums(pass, &worker);
    allRead = allRead && !worker.readFailed;
  }
  return allRead;
}

}  // namespace

void computeShift() {
  platformPreferLargePages(&correctionTables, sizeof correctionTables);
  platformPreferLargePages(&callingThreadSums, sizeof callingThreadSums);
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
