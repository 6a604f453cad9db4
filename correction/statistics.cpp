// computeShift: one pass over the input file, row by row, measuring at every
// position of every triple of lines how far the middle line lies from the
// mean of its outer lines.
//
// With lines as rows a triple is three storage rows, so a window of rows is
// kept from one run of rows to the next; with lines as columns every storage
// row holds one position of every triple. The sums do not depend on the
// order of the positions.

#include <cstring>
#include <vector>

#include "correction/correction.h"
#include "correction/kernels.h"
#include "correction/progress.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace {

const char* const kComputeShiftLabel = "computing shift  ";

// Two sets of pending sums (kernels.h), one slot per cell and one more,
// kNotASampleCell, that collects the positions that are not samples. 32-bit
// sums are quicker to add; they are moved out long before one could overflow,
// and are all zero again after every move.
struct alignas(kLargePageAlignment) PendingSums {
  PendingCell cells[2][kCellCount + 1];
};
PendingSums pending;
PendingCell (&pendingCells)[2][kCellCount + 1] = pending.cells;
std::int64_t pendingPositions = 0;
// Whether shiftSums and shiftCounts still hold an earlier file's tables: the
// first move of a file sets them instead of adding to them.
bool tablesHoldEarlierFile = true;

// 2b - a - c lies within +-510 at any position (+-405 at a sample), so a
// 32-bit sum takes over 4.2 million of them, those of the positions that are
// not samples included; the pending sums are moved out before 4 million.
constexpr std::int64_t kPositionsBeforeFlush = 4000000;

void flushPendingCells() {
  for (int cell = 0; cell < kCellCount; ++cell) {
    PendingCell& first = pendingCells[0][cell];
    PendingCell& second = pendingCells[1][cell];
    for (int channel = 0; channel < kChannelCount; ++channel) {
      // Channel 0 is red, byte 2 of a pixel.
      const std::int64_t sum = std::int64_t{first.sum[2 - channel]} + second.sum[2 - channel];
      const std::int64_t count = std::int64_t{2} * (std::int64_t{first.samples} + second.samples);
      shiftSums[cell][channel] = tablesHoldEarlierFile ? sum : shiftSums[cell][channel] + sum;
      shiftCounts[cell][channel] = tablesHoldEarlierFile ? count : shiftCounts[cell][channel] + count;
    }
    first = PendingCell{};
    second = PendingCell{};
  }
  pendingCells[0][kNotASampleCell] = PendingCell{};
  pendingCells[1][kNotASampleCell] = PendingCell{};
  tablesHoldEarlierFile = false;
  pendingPositions = 0;
}

TripleMeasures measures;

// Measures `count` positions with measure(measures) and adds them up.
template <typename Measure>
void measureAndAdd(std::int32_t count, Measure measure) {
  if (pendingPositions + count > kPositionsBeforeFlush) flushPendingCells();
  pendingPositions += count;
  measure(&measures);
  addMeasures(measures, count, pendingCells[0], pendingCells[1]);
}

// Rows of the input, read a run at a time.
std::vector<Pixel> rowWindow;

// The triple of storage rows a, a + width, a + 2 * width.
void sampleRowTriple(const Pixel* a, std::int32_t width) {
  for (std::int32_t first = 0; first < width; first += kMeasureBlock) {
    const std::int32_t count = width - first < kMeasureBlock ? width - first : kMeasureBlock;
    const Pixel* at = a + first;
    measureAndAdd(count, [&](TripleMeasures* m) { measureRowTriples(at, at + width, at + 2 * width, count, m); });
  }
}

// Lines as rows: triple t is storage rows 2t, 2t + 1 and 2t + 2. The window
// holds the rows from `base` on; the rows of the next triple that have been
// read (at most two) stay in it when the next run is read behind them.
void sampleRowTriples(std::int32_t triples, ProgressDots* dots) {
  const std::int32_t width = inputImage.width;
  const std::int32_t block = rowsPerBlock(width);
  const std::size_t rowPixels = static_cast<std::size_t>(width);
  rowWindow.resize(rowPixels * static_cast<std::size_t>(block + 2));
  const std::int32_t rowsNeeded = 2 * triples + 1;
  std::int32_t kept = 0;
  std::int32_t next = 0;
  std::int32_t triple = 0;
  while (triple < triples) {
    const std::int32_t count = rowsNeeded - next < block ? rowsNeeded - next : block;
    if (!inputImage.readRows(next, count, rowWindow.data() + rowPixels * static_cast<std::size_t>(kept))) return;
    const std::int32_t base = next - kept;
    next += count;
    for (; triple < triples && 2 * triple + 2 < next; ++triple) {
      sampleRowTriple(rowWindow.data() + rowPixels * static_cast<std::size_t>(2 * triple - base), width);
      advanceDots(dots, triple + 1, triples);
    }
    kept = next - 2 * triple;
    std::memmove(rowWindow.data(), rowWindow.data() + rowPixels * static_cast<std::size_t>(2 * triple - base),
                 rowPixels * static_cast<std::size_t>(kept) * sizeof(Pixel));
  }
}

// Lines as columns: in every storage row the triples are the pixels
// (0, 1, 2), (2, 3, 4), ...
void sampleColumnTriples(std::int32_t triples, ProgressDots* dots) {
  const std::int32_t width = inputImage.width;
  const std::int32_t rows = inputImage.height;
  const std::int32_t block = rowsPerBlock(width);
  rowWindow.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(block));
  for (std::int32_t y = 0; y < rows; y += block) {
    const std::int32_t count = rows - y < block ? rows - y : block;
    if (!inputImage.readRows(y, count, rowWindow.data())) return;
    for (std::int32_t r = 0; r < count; ++r) {
      const Pixel* row = rowWindow.data() + static_cast<std::size_t>(width) * static_cast<std::size_t>(r);
      for (std::int32_t first = 0; first < triples; first += kMeasureBlock) {
        const std::int32_t n = triples - first < kMeasureBlock ? triples - first : kMeasureBlock;
        const Pixel* at = row + 2 * static_cast<std::ptrdiff_t>(first);
        measureAndAdd(n, [&](TripleMeasures* m) { measureColumnTriples(at, n, m); });
      }
    }
    advanceDots(dots, y + count, rows);
  }
}

}  // namespace

void computeShift() {
  platformPreferLargePages(&correctionTables, sizeof correctionTables);
  platformPreferLargePages(&pending, sizeof pending);
  tablesHoldEarlierFile = true;
  printNow("%s", kComputeShiftLabel);
  const std::int32_t triples = lineCount > 2 ? (lineCount - 1) / 2 : 0;
  ProgressDots dots = dotsForWalk(triples, lineCount);
  if (triples > 0 && lineLength > 0) {
    if (inputImage.transposed) {
      sampleRowTriples(triples, &dots);
    } else {
      sampleColumnTriples(triples, &dots);
    }
  }
  advanceDots(&dots, 1, 1);
  flushPendingCells();
  printNow("\n");
}
