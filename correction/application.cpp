// performShift: a second pass over the input file, row by row, correcting
// every pair of lines through shiftTable and writing each run of corrected
// rows to the output file as it is done.
//
// The generator is consumed in a fixed order, and each position's draws are
// found by their index with a jump instead of by stepping (generator.h, "The
// draw index", and why a jump lands where stepping does), so the positions
// can be corrected in the file's row order and the same bytes come out. The
// corrections work on colour bytes (kernels.h): a position's even pixel
// moves each byte up by its half correction for a positive entry and down
// for a negative one, the odd pixel the other way.

#include <algorithm>
#include <cstring>
#include <memory>
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

struct alignas(kLargePageAlignment) CellRoundings {
  CellRounding cells[kCellCount];
};
CellRoundings roundings;
CellRounding (&cellRoundings)[kCellCount] = roundings.cells;

// The roundings of cells first to first + kCellsPerBlock - 1. Without a
// branch on the entries, so that the fuzzer's coverage instrumentation can
// stay out of this loop.
void prepareRoundingEntries(int first) {
  for (int cell = first; cell < first + kCellsPerBlock; ++cell) {
    CellRounding& rounding = cellRoundings[cell];
    rounding = CellRounding{};
    for (int byte = 0; byte < 3; ++byte) {
      const std::int32_t value = shiftTable[cell][2 - byte];  // byte 0 is blue, channel 2
      const std::uint32_t negative = static_cast<std::uint32_t>(value) >> 31;
      const std::uint32_t magnitude = (static_cast<std::uint32_t>(value) ^ (0u - negative)) + negative;
      rounding.magnitude[byte] = static_cast<std::uint16_t>(magnitude);
      rounding.downBits = static_cast<std::uint16_t>(rounding.downBits | negative << byte);
    }
  }
}

// A block of entries of 0 has roundings of 0: no magnitude, nothing down.
void prepareCellRoundings() {
  for (int first = 0; first < kCellCount; first += kCellsPerBlock) {
    if (bytesAreZero(&shiftTable[first], sizeof shiftTable[0] * kCellsPerBlock)) {
      std::memset(&cellRoundings[first], 0, sizeof cellRoundings[0] * kCellsPerBlock);
    } else {
      prepareRoundingEntries(first);
    }
  }
}

// What one worker works with: the generator states of the pairs (lines as
// columns), and the sum of the corrections it has made.
struct CorrectionWorker {
  std::vector<std::uint16_t> chains;
  std::int32_t chainsRow = -1;  // the row the chains stand before, or -1
  std::int64_t total = 0;
};

// The most memory the runs under way may take for runs of two blocks.
constexpr std::uint64_t kLongRunsMemory = std::uint64_t{8} << 20;

// A run of rows as the input file holds it.
struct RunBuffer {
  std::unique_ptr<unsigned char[]> pixels;  // uninitialised: every run is read into it before use
  bool read = false;  // whether the run could be read
};

// The output file's bytes of the runs under way. Run r's bytes go to their
// place in the file, r x runBytes, modulo the ring's size, a whole number of
// the writer's blocks (kWriteBlockSize, image.h), so that whole blocks go to
// the file straight from the ring, never copied; a run that passes the
// ring's end is written on into the spill behind it, which is then moved to
// the ring's start. A run is taken only once the run runsAhead before it has
// been handed on (parallel_runs.h), which wrote all bytes before that run's
// end but the last block's: so a ring of the runs that may be under way and
// one block more (or of the whole picture) never has a run write over bytes
// still to be written. (A larger ring would move fewer bytes of runs that
// pass its end, but fresh memory costs more than moving them.)
struct OutputRing {
  std::unique_ptr<unsigned char[]> bytes;  // size bytes and runBytes of spill, uninitialised
  std::size_t size = 0;
  std::size_t runBytes = 0;      // the output bytes of a run (the last may have fewer)
  std::uint64_t pictureBytes = 0;
  std::uint64_t written = 0;     // the bytes written to the file so far
};

OutputRing ringFor(std::size_t runBytes, std::int32_t runsAhead, std::uint64_t pictureBytes) {
  OutputRing ring;
  const std::uint64_t bytes =
      std::min<std::uint64_t>(std::uint64_t{runBytes} * static_cast<std::uint64_t>(runsAhead) + kWriteBlockSize, pictureBytes);
  ring.size = static_cast<std::size_t>((bytes + kWriteBlockSize - 1) / kWriteBlockSize * kWriteBlockSize);
  ring.runBytes = runBytes;
  ring.pictureBytes = pictureBytes;
  ring.bytes.reset(new unsigned char[ring.size + runBytes]);
  return ring;
}

// Where run `run`'s output bytes go.
unsigned char* placeOfRun(const OutputRing& ring, std::int32_t run) {
  return ring.bytes.get() + ring.runBytes * static_cast<std::size_t>(run) % ring.size;
}

// Moves what `bytes` bytes written at the place of run `run` put into the
// spill to the ring's start.
void wrapRun(OutputRing* ring, std::int32_t run, std::size_t bytes) {
  const std::size_t end = static_cast<std::size_t>(placeOfRun(*ring, run) - ring->bytes.get()) + bytes;
  if (end > ring->size) std::memcpy(ring->bytes.get(), ring->bytes.get() + ring->size, end - ring->size);
}

// Writes the whole blocks of runs 0 to `run` to the output file, and after
// the last run all that is left.
void writeRunsUpTo(OutputRing* ring, std::int32_t run, bool last) {
  const std::uint64_t done =
      last ? ring->pictureBytes : std::uint64_t{ring->runBytes} * static_cast<std::uint64_t>(run + 1);
  const std::uint64_t upTo = last ? done : done / kWriteBlockSize * kWriteBlockSize;
  while (ring->written < upTo) {
    const std::size_t at = static_cast<std::size_t>(ring->written % ring->size);
    const std::size_t span = static_cast<std::size_t>(std::min<std::uint64_t>(upTo - ring->written, ring->size - at));
    outputImage.writeEncodedPixels(ring->bytes.get() + at, span);
    ring->written += span;
  }
}

// What the threads of one pass share, read only while they work.
struct CorrectionPass {
  std::int32_t pairs = 0;
  std::int32_t width = 0;
  std::int32_t rows = 0;
  std::int32_t rowsPerRun = 0;
  unsigned pixelBytes = 0;
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

// Lines as rows: pair (x, x + 1) is two storage rows, corrected position by
// position in the generator's own order; pair p starts 6 x width x p draws
// after the pass. Runs begin at even rows, so only the last run can end
// with the unpaired row, which keeps its pixels.
void correctRowPairs(const CorrectionPass& pass, CorrectionWorker* worker, std::int32_t y, const RunRows& in,
                     const RunRows& out) {
  const std::uint64_t drawsPerPair =
      static_cast<std::uint64_t>(kDrawsPerPosition) * static_cast<std::uint64_t>(pass.width);
  const GeneratorJump pairJump = generatorJump(drawsPerPair);
  std::uint32_t state = jumpedState(generatorJump(drawsPerPair * static_cast<std::uint64_t>(y / 2)), pass.start);
  std::int32_t r = 0;
  for (; r + 1 < in.count; r += 2) {
    worker->total += static_cast<std::int64_t>(correctRowPair(cellRoundings, state, in.row(r), in.row(r + 1),
                                                              pass.pixelBytes, out.row(r), out.row(r + 1), pass.width));
    state = jumpedState(pairJump, state);
  }
  if (r < in.count) copyPixelBytes(in.row(r), pass.pixelBytes, out.row(r), pass.width);
}

// Lines as columns: in every storage row the pairs are the pixels (0, 1),
// (2, 3), ... Each pair's state, the state before its draws at the current
// row, is jumped to the run's first row (unless the thread's last run ended
// there) and moves on by one position per row. The last column of an odd
// width belongs to no pair and keeps its pixels.
void correctColumnPairs(const CorrectionPass& pass, CorrectionWorker* worker, std::int32_t y, const RunRows& in,
                        const RunRows& out) {
  std::uint16_t* chains = worker->chains.data();
  if (worker->chainsRow != y) {
    const GeneratorJump toRun =
        generatorJump(static_cast<std::uint64_t>(kDrawsPerPosition) * static_cast<std::uint64_t>(y));
    for (std::int32_t pair = 0; pair < pass.pairs; ++pair)
      chains[pair] = static_cast<std::uint16_t>(jumpedState(toRun, pass.pairStarts[static_cast<std::size_t>(pair)]));
  }
  worker->chainsRow = y + in.count;
  for (std::int32_t r = 0; r < in.count; ++r) {
    worker->total += static_cast<std::int64_t>(
        correctColumnRow(cellRoundings, chains, in.row(r), pass.pixelBytes, out.row(r), pass.width));
  }
}

// Reads run `run` of rows and corrects it into its place in the ring (a
// picture without pairs keeps its pixels).
void correctRun(const CorrectionPass& pass, CorrectionWorker* worker, RunBuffer* buffer, OutputRing* ring,
                std::int32_t run) {
  const std::int32_t y = run * pass.rowsPerRun;
  const std::int32_t count = endRowOfRun(pass, run) - y;
  buffer->read = inputImage.readPixelBytes(y, count, buffer->pixels.get());
  if (!buffer->read) return;
  const RunRows in = inputImage.runAt(buffer->pixels.get(), count);
  const RunRows out{placeOfRun(*ring, run), static_cast<std::size_t>(pass.width) * kOutputPixelBytes, count, false};
  if (pass.pairs > 0 && inputImage.transposed) {
    correctRowPairs(pass, worker, y, in, out);
  } else if (pass.pairs > 0) {
    correctColumnPairs(pass, worker, y, in, out);
  } else {
    for (std::int32_t r = 0; r < count; ++r) copyPixelBytes(in.row(r), pass.pixelBytes, out.row(r), pass.width);
  }
  wrapRun(ring, run, out.rowBytes * static_cast<std::size_t>(count));
}

// Corrects every run of rows, the runs spread over threads, and writes them
// to the output file in order as they are done. Returns the sum of the
// corrections.
std::int64_t correctRuns(CorrectionPass* pass, ProgressDots* dots) {
  const int threads = workerThreadsFor(inputImage.pixelCount());
  // With several threads each run ends in hand-overs between them, which
  // cost system calls: runs of two blocks make half as many, as long as the
  // runs that may be under way (below) fit kLongRunsMemory. One thread keeps
  // runs of one block, which stay in its cache.
  const std::uint64_t longRunsMemory = static_cast<std::uint64_t>(threads + 2) * 2 *
                                       static_cast<std::uint64_t>(pass->rowsPerRun) *
                                       static_cast<std::uint64_t>(pass->width) * (pass->pixelBytes + kOutputPixelBytes);
  if (threads > 1 && longRunsMemory <= kLongRunsMemory) pass->rowsPerRun *= 2;
  const std::int32_t runs = (pass->rows + pass->rowsPerRun - 1) / pass->rowsPerRun;
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
  // that wait to be written while the threads go on. Everything the workers
  // use is made here, before any of them starts: none allocates in the pass.
  const std::int32_t buffers = workers.size() == 1 ? 1 : static_cast<std::int32_t>(workers.size()) + 2;
  const std::int32_t runsAhead = buffers < runs ? buffers : runs;
  std::vector<RunBuffer> runBuffers(static_cast<std::size_t>(runsAhead));
  const std::size_t runPixels = static_cast<std::size_t>(pass->width) *
                                static_cast<std::size_t>(pass->rowsPerRun < pass->rows ? pass->rowsPerRun : pass->rows);
  for (RunBuffer& buffer : runBuffers) buffer.pixels.reset(new unsigned char[runPixels * pass->pixelBytes + kPixelBytesSlack]);
  if (linesAreColumns) {
    for (CorrectionWorker& worker : workers) worker.chains.resize(static_cast<std::size_t>(pass->pairs));
  }
  const std::size_t runBytes =
      static_cast<std::size_t>(pass->width) * static_cast<std::size_t>(pass->rowsPerRun) * kOutputPixelBytes;
  OutputRing ring = ringFor(runBytes, runsAhead,
                            std::uint64_t{kOutputPixelBytes} * static_cast<std::uint64_t>(pass->width) *
                                static_cast<std::uint64_t>(pass->rows));
  // Nothing follows a run that could not be read: a device or a pipe as the
  // output gets the picture up to there, like a file cut short. The runs
  // before it are read whatever the order of reading (Image::readPixelBytes),
  // so the bytes are the same at any number of threads.
  const SpreadResult spread = spreadRuns(
      static_cast<int>(workers.size()), runs, runsAhead,
      [&](int w, std::int32_t run) {
        correctRun(*pass, &workers[static_cast<std::size_t>(w)], &runBuffers[static_cast<std::size_t>(run % runsAhead)],
                   &ring, run);
      },
      [&](std::int32_t run) {
        if (!runBuffers[static_cast<std::size_t>(run % runsAhead)].read) outputImage.failWrites();
        writeRunsUpTo(&ring, run, run + 1 == runs);
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

std::uint32_t stateAfterPicture(std::uint32_t start) {
  // Every position of every pair takes its kDrawsPerPosition draws.
  const std::uint64_t pairs = static_cast<std::uint64_t>(lineCount > 1 ? lineCount / 2 : 0);
  return jumpedState(generatorJump(kDrawsPerPosition * pairs * static_cast<std::uint64_t>(lineLength)), start);
}

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
    pass.pixelBytes = inputImage.pixelBytes();
    pass.start = ditherState;
    if (pairs > 0) {
      platformPreferLargePages(&roundings, sizeof roundings);
      prepareCellRoundings();
    }
    shiftTotal += correctRuns(&pass, &dots);
    ditherState = stateAfterPicture(pass.start);
  }
  advanceDots(&dots, 1, 1);
  printNow("\n");
}
