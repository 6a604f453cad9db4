// performShift: a second pass over the input file, row by row, correcting
// every pair of lines through shiftTable and writing each run of corrected
// rows to the output file as it is done.
//
// The generator is consumed in a fixed order, and each position's draws are
// found by their index with a jump instead of by stepping (generator.h, "The
// draw index", and why a jump lands where stepping does), so the positions
// can be corrected in the file's row order and the same bytes come out. The corrections work on colour bytes (kernels.h): a position's
// even pixel moves each byte up by its half correction for a positive entry
// and down for a negative one, the odd pixel the other way.

#include <algorithm>
#include <cstring>
#include <vector>

#include "correction/correction.h"
#include "correction/generator.h"
#include "correction/kernels.h"
#include "correction/parallel_runs.h"
#include "correction/progress.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace {

const char* const kPerformShiftLabel = "performing shift ";

// The generator call (1 to 6) whose draw rounds colour byte `byte` of the
// even or odd pixel of a position; 0 for the alpha byte, which takes none.
constexpr int kCallOfByte[2][4] = {{6, 4, 2, 0}, {5, 3, 1, 0}};

struct alignas(kLargePageAlignment) CellCorrections {
  CellCorrection cells[kCellCount];
};
CellCorrections corrections;
CellCorrection (&cellCorrections)[kCellCount] = corrections.cells;

// The corrections of cells first to first + kCellsPerBlock - 1. Without a
// branch on the entries, so that the fuzzer's coverage instrumentation can
// stay out of this loop.
void prepareCorrectionEntries(int first) {
  for (int cell = first; cell < first + kCellsPerBlock; ++cell) {
    CellCorrection& correction = cellCorrections[cell];
    correction = CellCorrection{};
    for (int byte = 0; byte < 3; ++byte) {
      const std::int32_t value = shiftTable[cell][2 - byte];  // byte 0 is blue, channel 2
      const std::uint32_t negative = static_cast<std::uint32_t>(value) >> 31;
      const std::uint32_t magnitude = (static_cast<std::uint32_t>(value) ^ (0u - negative)) + negative;
      correction.magnitude[byte] = static_cast<std::uint16_t>(magnitude);
      correction.down |= (0u - negative) & (std::uint32_t{0xFF} << (8 * byte));
    }
    correction.reversed = ~correction.down;
  }
}

// A block of the corrections of entries of 0: no magnitude, nothing down.
struct UncorrectedBlock {
  CellCorrection cells[kCellsPerBlock];
};
UncorrectedBlock uncorrectedBlock() {
  UncorrectedBlock block;
  std::fill(block.cells, block.cells + kCellsPerBlock, CellCorrection{{0, 0, 0, 0}, 0, ~std::uint32_t{0}});
  return block;
}

void prepareCellCorrections() {
  static const UncorrectedBlock uncorrected = uncorrectedBlock();
  for (int first = 0; first < kCellCount; first += kCellsPerBlock) {
    if (bytesAreZero(&shiftTable[first], sizeof shiftTable[0] * kCellsPerBlock)) {
      std::memcpy(&cellCorrections[first], uncorrected.cells, sizeof uncorrected.cells);
    } else {
      prepareCorrectionEntries(first);
    }
  }
}

DrawJumps drawJumps;
bool drawJumpsReady = false;

void setLowJump(std::uint16_t* multiplier, std::uint16_t* increment, std::uint64_t steps) {
  const GeneratorJump jump = steps > 0 ? generatorJump(steps) : GeneratorJump{0, 0};
  *multiplier = static_cast<std::uint16_t>(jump.multiplier);
  *increment = static_cast<std::uint16_t>(jump.increment);
}

void prepareDrawJumps() {
  if (drawJumpsReady) return;
  for (int e = 0; e < 2; ++e) {
    for (int byte = 0; byte < 4; ++byte) {
      const std::uint64_t call = static_cast<std::uint64_t>(kCallOfByte[e][byte]);
      setLowJump(&drawJumps.acrossMultiplier[4 * e + byte], &drawJumps.acrossIncrement[4 * e + byte], call);
      for (int i = 0; i < kCorrectionBlock; ++i) {
        const std::int32_t index = e * kOddBytes + 4 * i + byte;
        setLowJump(&drawJumps.alongMultiplier[index], &drawJumps.alongIncrement[index],
                   call ? kDrawsPerPosition * i + call : 0);
      }
    }
  }
  drawJumpsReady = true;
}

// What one thread works with: its block of draws and corrections, the
// generator states of the pairs (lines as columns, sized by the thread when
// it takes its first run), and the sum of the corrections it has made.
struct CorrectionWorker {
  alignas(32) CorrectionBlock block;
  std::vector<std::uint16_t> chains;
  std::int32_t chainsRow = -1;  // the row the chains stand before, or -1
  std::int64_t total = 0;
};

// A run of rows, corrected in place (each block's cells are looked up before
// its pixels change), and its bytes as the output file takes them; sized by
// the thread that takes its first run.
struct RunBuffer {
  std::vector<Pixel> pixels;
  std::vector<unsigned char> bytes;
  std::size_t byteCount = 0;
  bool read = false;  // whether the run could be read
};

// What the threads of one pass share, read only while they work.
struct CorrectionPass {
  std::int32_t pairs = 0;
  std::int32_t width = 0;
  std::int32_t rows = 0;
  std::int32_t rowsPerRun = 0;
  std::uint32_t start = 0;  // the generator's state before the pass
  // Lines as columns: the low 16 bits of each pair's state before its first
  // position.
  std::vector<std::uint16_t> pairStarts;
};

// The row after the last row of run `run`.
std::int32_t endRowOfRun(const CorrectionPass& pass, std::int32_t run) {
  const std::int32_t end = (run + 1) * pass.rowsPerRun;
  return end < pass.rows ? end : pass.rows;
}

std::int64_t correctBlock(CorrectionWorker* worker, Pixel* pixels, std::int32_t firstByte, std::int32_t count) {
  const CorrectionBlock& block = worker->block;
  return correctPixels(pixels, pixels, block.threshold + firstByte, block.magnitude, block.down + firstByte, count);
}

// Lines as rows: pair (x, x + 1) is two storage rows, corrected position by
// position in the generator's own order from the state before the run's
// first pair. Runs begin at even rows, so only the last run can end with the
// unpaired row, which keeps its pixels.
void correctRowPairs(const CorrectionPass& pass, CorrectionWorker* worker, std::int32_t y, std::int32_t count,
                     Pixel* rows) {
  const std::int32_t width = pass.width;
  const std::size_t rowPixels = static_cast<std::size_t>(width);
  const std::uint64_t drawsBefore = static_cast<std::uint64_t>(kDrawsPerPosition) * static_cast<std::uint64_t>(y / 2) *
                                    static_cast<std::uint64_t>(width);
  auto state = static_cast<std::uint16_t>(jumpedState(generatorJump(drawsBefore), pass.start));
  for (std::int32_t r = 0; r + 1 < count; r += 2) {
    Pixel* even = rows + rowPixels * static_cast<std::size_t>(r);
    for (std::int32_t j = 0; j < width; j += kCorrectionBlock) {
      const std::int32_t n = width - j < kCorrectionBlock ? width - j : kCorrectionBlock;
      prepareRowBlock(drawJumps, cellCorrections, &state, even + j, n, &worker->block);
      worker->total += correctBlock(worker, even + j, 0, n);
      worker->total += correctBlock(worker, even + width + j, kOddBytes, n);
    }
  }
}

// Lines as columns: in every storage row the pairs are the pixels (0, 1),
// (2, 3), ... Each pair's state, the state before its draws at the current
// row, is jumped to the run's first row (unless the thread's last run ended
// there) and moves on by one position per row. The last column of an odd
// width belongs to no pair and keeps its pixels.
void correctColumnPairs(const CorrectionPass& pass, CorrectionWorker* worker, std::int32_t y, std::int32_t count,
                        Pixel* run) {
  std::uint16_t* chains = worker->chains.data();
  if (worker->chainsRow != y) {
    const GeneratorJump toRun = generatorJump(static_cast<std::uint64_t>(kDrawsPerPosition) * static_cast<std::uint64_t>(y));
    for (std::int32_t pair = 0; pair < pass.pairs; ++pair)
      chains[pair] = static_cast<std::uint16_t>(jumpedState(toRun, pass.pairStarts[static_cast<std::size_t>(pair)]));
  }
  worker->chainsRow = y + count;
  for (std::int32_t r = 0; r < count; ++r) {
    Pixel* row = run + static_cast<std::size_t>(pass.width) * static_cast<std::size_t>(r);
    for (std::int32_t first = 0; first < pass.pairs; first += kCorrectionBlock) {
      const std::int32_t n = pass.pairs - first < kCorrectionBlock ? pass.pairs - first : kCorrectionBlock;
      Pixel* at = row + 2 * static_cast<std::ptrdiff_t>(first);
      prepareColumnBlock(drawJumps, cellCorrections, chains + first, at, n, &worker->block);
      worker->total += correctBlock(worker, at, 0, 2 * n);
    }
  }
}

// Reads run `run` of rows, corrects it (a picture without pairs keeps its
// pixels) and encodes it for the output file.
void correctRun(const CorrectionPass& pass, CorrectionWorker* worker, RunBuffer* buffer, std::int32_t run) {
  const std::int32_t y = run * pass.rowsPerRun;
  const std::int32_t count = endRowOfRun(pass, run) - y;
  if (buffer->pixels.empty()) {
    const std::int32_t rows = pass.rowsPerRun < pass.rows ? pass.rowsPerRun : pass.rows;
    const std::size_t pixels = static_cast<std::size_t>(pass.width) * static_cast<std::size_t>(rows);
    buffer->pixels.resize(pixels);
    buffer->bytes.resize(pixels * kOutputPixelBytes);
  }
  if (pass.pairs > 0 && !inputImage.transposed) worker->chains.resize(static_cast<std::size_t>(pass.pairs));
  buffer->read = inputImage.readRows(y, count, buffer->pixels.data());
  if (!buffer->read) return;
  if (pass.pairs > 0 && inputImage.transposed) {
    correctRowPairs(pass, worker, y, count, buffer->pixels.data());
  } else if (pass.pairs > 0) {
    correctColumnPairs(pass, worker, y, count, buffer->pixels.data());
  }
  const std::size_t pixels = static_cast<std::size_t>(pass.width) * static_cast<std::size_t>(count);
  encodeOutputPixels(buffer->pixels.data(), buffer->bytes.data(), pixels);
  buffer->byteCount = pixels * kOutputPixelBytes;
}

// Corrects every run of rows, the runs spread over threads, and writes them
// to the output file in order as they are done. Returns the sum of the
// corrections.
std::int64_t correctRuns(CorrectionPass* pass, ProgressDots* dots) {
  const std::int32_t runs = (pass->rows + pass->rowsPerRun - 1) / pass->rowsPerRun;
  const int threads = workerThreadsFor(inputImage.pixelCount());
  std::vector<CorrectionWorker> workers(static_cast<std::size_t>(threads < runs ? threads : runs));
  const bool linesAreColumns = pass->pairs > 0 && !inputImage.transposed;
  if (linesAreColumns) {
    // Pair p begins 6 x rows draws after pair p - 1.
    const GeneratorJump pairJump = generatorJump(static_cast<std::uint64_t>(kDrawsPerPosition) * pass->rows);
    std::uint32_t state = pass->start;
    pass->pairStarts.resize(static_cast<std::size_t>(pass->pairs));
    for (std::uint16_t& pairStart : pass->pairStarts) {
      pairStart = static_cast<std::uint16_t>(state);
      state = jumpedState(pairJump, state);
    }
  }
  // One buffer per run that may be under way: each thread's, and two more
  // that wait to be written while the threads go on.
  const std::int32_t buffers = workers.size() == 1 ? 1 : static_cast<std::int32_t>(workers.size()) + 2;
  const std::int32_t runsAhead = buffers < runs ? buffers : runs;
  std::vector<RunBuffer> runBuffers(static_cast<std::size_t>(runsAhead));
  // Nothing follows a run that could not be read: a device or a pipe as the
  // output gets the picture up to there, like a file cut short. The runs
  // before it are read whatever the order of reading (Image::readRows), so
  // the bytes are the same at any number of threads.
  const SpreadResult spread = spreadRuns(
      static_cast<int>(workers.size()), runs, runsAhead,
      [&](int w, std::int32_t run) {
        correctRun(*pass, &workers[static_cast<std::size_t>(w)], &runBuffers[static_cast<std::size_t>(run % runsAhead)], run);
      },
      [&](std::int32_t run) {
        const RunBuffer& buffer = runBuffers[static_cast<std::size_t>(run % runsAhead)];
        if (!buffer.read) outputImage.failWrites();
        outputImage.writeEncodedPixels(buffer.bytes.data(), buffer.byteCount);
        const std::int32_t end = endRowOfRun(*pass, run);
        if (inputImage.transposed) {
          advanceDots(dots, end / 2, pass->pairs);
        } else {
          advanceDots(dots, end, pass->rows);
        }
      });
  correctionSpread = {spread.threads, runs};
  if (!spread.complete) outputImage.failWrites();
  std::int64_t total = 0;
  for (const CorrectionWorker& worker : workers) total += worker.total;
  return total;
}

}  // namespace

void performShift() {
  printNow("%s", kPerformShiftLabel);
  const std::int32_t pairs = lineCount > 1 ? lineCount / 2 : 0;
  ProgressDots dots = dotsForWalk(pairs, lineCount);
  correctionSpread = PassSpread{};
  if (lineLength > 0 && lineCount > 0) {
    CorrectionPass pass;
    pass.pairs = pairs;
    pass.width = inputImage.width;
    pass.rows = inputImage.height;
    pass.rowsPerRun = rowsPerBlock(inputImage.width);
    pass.start = ditherState;
    if (pairs > 0) {
      prepareDrawJumps();
      platformPreferLargePages(&corrections, sizeof corrections);
      prepareCellCorrections();
    }
    shiftTotal += correctRuns(&pass, &dots);
    // Every position of every pair takes its six draws.
    ditherState = jumpedState(generatorJump(static_cast<std::uint64_t>(kDrawsPerPosition) *
                                            static_cast<std::uint64_t>(pairs) * static_cast<std::uint64_t>(lineLength)),
                              pass.start);
  }
  advanceDots(&dots, 1, 1);
  printNow("\n");
}
