// performShift: a second pass over the input file, row by row, correcting
// every pair of lines through shiftTable and writing each run of corrected
// rows to the output file as it is done.
//
// The generator is consumed in a fixed order: position j of the pair that
// begins at line x takes draws 6 * ((x / 2) * lineLength + j) + 1 to + 6
// from the state the stage starts with. Each position's draws are found from
// that count with a jump (generator.h) instead of by stepping, so the
// positions can be corrected in the file's row order and the same bytes
// come out. The corrections work on colour bytes (kernels.h): a position's
// even pixel moves each byte up by its half correction for a positive entry
// and down for a negative one, the odd pixel the other way.

#include <vector>

#include "correction/correction.h"
#include "correction/generator.h"
#include "correction/kernels.h"
#include "correction/progress.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace {

const char* const kPerformShiftLabel = "performing shift ";

// The generator call (1 to 6) whose draw rounds colour byte `byte` of the
// even or odd pixel of a position; 0 for the alpha byte, which takes none.
constexpr int kCallOfByte[2][4] = {{6, 4, 2, 0}, {5, 3, 1, 0}};

constexpr Pixel kColourBits = 0x00FFFFFF;

struct alignas(kLargePageAlignment) CellCorrections {
  CellCorrection cells[kCellCount];
};
CellCorrections corrections;
CellCorrection (&cellCorrections)[kCellCount] = corrections.cells;

void prepareCellCorrections() {
  for (int cell = 0; cell < kCellCount; ++cell) {
    CellCorrection& correction = cellCorrections[cell];
    correction = CellCorrection{};
    for (int byte = 0; byte < 3; ++byte) {
      const std::int32_t value = shiftTable[cell][2 - byte];  // byte 0 is blue, channel 2
      correction.magnitude[byte] = static_cast<std::uint16_t>(value < 0 ? -value : value);
      if (value < 0) correction.down |= std::uint32_t{0xFF} << (8 * byte);
    }
    correction.reversed = ~correction.down;
  }
}

alignas(32) CorrectionBlock block;
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

// A run of rows, corrected in place: each block's cells are looked up before
// its pixels change.
std::vector<Pixel> rowRun;

std::uint32_t correctBlock(const Pixel* in, Pixel* out, std::int32_t firstByte, std::int32_t count) {
  return correctPixels(in, out, block.threshold + firstByte, block.magnitude, block.down + firstByte, count);
}

// Keeps the pixels of the line that belongs to no pair (the last of an odd
// number of lines) as they are, without their alpha byte.
void copyUnpaired(const Pixel* in, Pixel* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out[i] = in[i] & kColourBits;
}

// Reads the input in runs of whole rows into rowRun, has correctRun(first
// row, row count, rows) correct each run in place, and writes it out.
template <typename CorrectRun>
void correctRunsOfRows(CorrectRun correctRun) {
  const std::int32_t rows = inputImage.height;
  const std::int32_t blockRows = rowsPerBlock(inputImage.width);
  const std::size_t rowPixels = static_cast<std::size_t>(inputImage.width);
  rowRun.resize(rowPixels * static_cast<std::size_t>(blockRows));
  for (std::int32_t y = 0; y < rows; y += blockRows) {
    const std::int32_t count = rows - y < blockRows ? rows - y : blockRows;
    if (!inputImage.readRows(y, count, rowRun.data())) return;
    correctRun(y, count, rowRun.data());
    outputImage.writePixels(rowRun.data(), rowPixels * static_cast<std::size_t>(count));
  }
}

// Lines as rows: pair (x, x + 1) is two storage rows, corrected position by
// position in the generator's own order. Runs of rows begin at even rows, so
// only the last run can end with the unpaired row.
std::int64_t correctRowPairs(std::int32_t pairs, std::uint16_t state, ProgressDots* dots) {
  const std::int32_t width = inputImage.width;
  const std::size_t rowPixels = static_cast<std::size_t>(width);
  std::int64_t total = 0;
  correctRunsOfRows([&](std::int32_t y, std::int32_t count, Pixel* rows) {
    for (std::int32_t r = 0; r + 1 < count; r += 2) {
      Pixel* even = rows + rowPixels * static_cast<std::size_t>(r);
      for (std::int32_t j = 0; j < width; j += kCorrectionBlock) {
        const std::int32_t n = width - j < kCorrectionBlock ? width - j : kCorrectionBlock;
        prepareRowBlock(drawJumps, cellCorrections, &state, even + j, n, &block);
        total += correctBlock(even + j, even + j, 0, n);
        total += correctBlock(even + width + j, even + width + j, kOddBytes, n);
      }
      advanceDots(dots, (y + r) / 2 + 1, pairs);
    }
    if (count % 2 != 0) {
      Pixel* last = rows + rowPixels * static_cast<std::size_t>(count - 1);
      copyUnpaired(last, last, rowPixels);
    }
  });
  return total;
}

// Lines as columns: in every storage row the pairs are the pixels (0, 1),
// (2, 3), ... Each pair keeps its own generator state, the state before its
// draws at the current row, and moves it on by one position per row.
std::int64_t correctColumnPairs(std::int32_t pairs, std::uint32_t state, ProgressDots* dots) {
  const std::int32_t width = inputImage.width;
  const std::int32_t rows = inputImage.height;
  std::vector<std::uint16_t> chains(static_cast<std::size_t>(pairs));
  const GeneratorJump pairJump = generatorJump(static_cast<std::uint64_t>(kDrawsPerPosition) * rows);
  for (std::int32_t pair = 0; pair < pairs; ++pair) {
    chains[static_cast<std::size_t>(pair)] = static_cast<std::uint16_t>(state);
    state = jumpedState(pairJump, state);
  }
  std::int64_t total = 0;
  correctRunsOfRows([&](std::int32_t y, std::int32_t count, Pixel* run) {
    for (std::int32_t r = 0; r < count; ++r) {
      Pixel* row = run + static_cast<std::size_t>(width) * static_cast<std::size_t>(r);
      for (std::int32_t first = 0; first < pairs; first += kCorrectionBlock) {
        const std::int32_t n = pairs - first < kCorrectionBlock ? pairs - first : kCorrectionBlock;
        const std::ptrdiff_t column = 2 * static_cast<std::ptrdiff_t>(first);
        prepareColumnBlock(drawJumps, cellCorrections, chains.data() + first, row + column, n, &block);
        total += correctBlock(row + column, row + column, 0, 2 * n);
      }
      if (width % 2 != 0) copyUnpaired(row + width - 1, row + width - 1, 1);
    }
    advanceDots(dots, y + count, rows);
  });
  return total;
}

// A picture without pairs is written as it is, without alpha.
void copyWithoutPairs() {
  correctRunsOfRows([](std::int32_t, std::int32_t count, Pixel* rows) {
    copyUnpaired(rows, rows, static_cast<std::size_t>(inputImage.width) * static_cast<std::size_t>(count));
  });
}

}  // namespace

void performShift() {
  printNow("%s", kPerformShiftLabel);
  const std::int32_t pairs = lineCount > 1 ? lineCount / 2 : 0;
  ProgressDots dots = dotsForWalk(pairs, lineCount);
  if (pairs > 0 && lineLength > 0) {
    prepareDrawJumps();
    platformPreferLargePages(&corrections, sizeof corrections);
    prepareCellCorrections();
    const std::uint32_t start = ditherState;
    shiftTotal += inputImage.transposed ? correctRowPairs(pairs, static_cast<std::uint16_t>(start), &dots)
                                        : correctColumnPairs(pairs, start, &dots);
    // Every position of every pair takes its six draws.
    ditherState = jumpedState(generatorJump(static_cast<std::uint64_t>(kDrawsPerPosition) *
                                            static_cast<std::uint64_t>(pairs) * static_cast<std::uint64_t>(lineLength)),
                              start);
  } else if (lineLength > 0) {
    copyWithoutPairs();
  }
  advanceDots(&dots, 1, 1);
  printNow("\n");
}
