#include "correction/correction.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/driver.h"
#include "platform/console.h"
#include "correction/kernels.h"
#include "platform/wide_vectors.h"

std::int64_t shiftSums[kCellCount][kChannelCount];
std::int64_t shiftCounts[kCellCount][kChannelCount];
std::int32_t shiftTable[kCellCount][kChannelCount];
std::uint32_t ditherState = kDitherSeed;

const char* const kComputeShiftLabel = "computing shift  ";
const char* const kBuildTableLabel = "bluring tables   ";
const char* const kPerformShiftLabel = "performing shift ";

// How the stages walk the pictures.
//
// A line is a column when the images are not transposed, and a row when they
// are. Walking a column pixel by pixel jumps a whole row of storage at every
// step, so both line-walking stages go through storage row by row instead:
// with columns as lines, the pixels of a triple or a pair at one position
// are neighbours within a row.
//
// computeShift only adds up integers, so its order does not matter.
// performShift consumes the generator in a fixed order: position j of the
// pair that begins at line x takes draws 6 * ((x / 2) * lineLength + j) + 1
// to + 6 from the state the stage starts with. Each position's draws are
// found from that count with a jump (generatorJump) instead of by stepping,
// so the positions can be corrected in any order and the same bytes come out.

namespace {

constexpr int kTableDotEvery = 1024;  // cells per dot of buildShiftTable
constexpr int kDrawsPerPosition = 6;

// --- Progress dots -------------------------------------------------------
//
// A stage that walks `steps` triples or pairs prints one dot after each step
// i = 0, 2, 4, ... with i mod progressInterval = 0 (every step when the
// interval is 0). Walking storage row by row finishes every step at once at
// the end, so the dots are spread over the work instead: the same number, in
// the same place of the output, shown as the work goes on.

std::int32_t dotsOfWalk(std::int32_t steps, std::int32_t interval) {
  if (steps <= 0) return 0;
  if (interval == 0) return steps;
  return 2 * (steps - 1) / interval + 1;
}

struct ProgressDots {
  std::int64_t total;
  std::int64_t printed;
};

void advanceDots(ProgressDots* dots, std::int64_t done, std::int64_t whole) {
  const std::int64_t due = whole > 0 ? dots->total * done / whole : dots->total;
  for (; dots->printed < due; ++dots->printed) printNow(".");
}

// --- Statistics ----------------------------------------------------------

// Sums of one cell since they were last moved into shiftSums and shiftCounts,
// by channel in pixel byte order (blue, green, red), and the samples.
// 32-bit sums are quicker to add; they are moved out long before one could
// overflow.
struct PendingCell {
  std::int32_t sum[3];
  std::int32_t samples;
};

// Two sets of pending sums, taken by turns from one position to the next, so
// that runs of one colour do not make every addition wait for the one before.
// Each set has one slot per cell and one more, kNotASampleCell, that collects
// the positions that are not samples.
alignas(16) PendingCell pendingCells[2][kCellCount + 1];
std::int64_t pendingPositions = 0;

// 2b - a - c lies within +-510 at any position (+-405 at a sample), so a
// 32-bit sum takes over 4.2 million of them, those of the positions that are
// not samples included; the pending sums are moved out before 4 million.
constexpr std::int64_t kPositionsBeforeFlush = 4000000;

void flushPendingCells() {
  for (const auto& set : pendingCells) {
    for (int cell = 0; cell < kCellCount; ++cell) {
      const PendingCell& pending = set[cell];
      for (int channel = 0; channel < kChannelCount; ++channel) {
        shiftSums[cell][channel] += pending.sum[2 - channel];  // channel 0 is red, byte 2
        shiftCounts[cell][channel] += std::int64_t{2} * pending.samples;
      }
    }
  }
  std::memset(pendingCells, 0, sizeof pendingCells);
  pendingPositions = 0;
}

TripleMeasures measures;

LOMVERA_ALWAYS_INLINE void addMeasure(PendingCell& pending, const std::int16_t* contribution) {
  pending.sum[0] += contribution[0];
  pending.sum[1] += contribution[1];
  pending.sum[2] += contribution[2];
  pending.samples += contribution[3];
}

// Adds the measures of `count` positions to the pending sums, the two sets
// by turns.
LOMVERA_ALWAYS_INLINE void addMeasures(std::int32_t count) {
  std::int32_t k = 0;
  for (; k + 1 < count; k += 2) {
    addMeasure(pendingCells[0][measures.cell[k]], measures.contribution[k]);
    addMeasure(pendingCells[1][measures.cell[k + 1]], measures.contribution[k + 1]);
  }
  if (k < count) addMeasure(pendingCells[0][measures.cell[k]], measures.contribution[k]);
}

void addMeasuresBaseline(std::int32_t count) { addMeasures(count); }
LOMVERA_WIDE_VECTOR_CODE void addMeasuresWide(std::int32_t count) { addMeasures(count); }

// Makes room for `count` more positions in the pending sums.
void reservePendingPositions(std::int32_t count) {
  if (pendingPositions + count > kPositionsBeforeFlush) flushPendingCells();
  pendingPositions += count;
}

// Lines as rows: triple t is three whole rows of storage.
void sampleRowTriples(std::int32_t triples, ProgressDots* dots) {
  const std::ptrdiff_t width = inputImage.width;
  for (std::int32_t t = 0; t < triples; ++t) {
    const Pixel* a = inputImage.pixels + static_cast<std::ptrdiff_t>(2 * t) * width;
    for (std::ptrdiff_t first = 0; first < width; first += kMeasureBlock) {
      const std::int32_t count =
          static_cast<std::int32_t>(width - first < kMeasureBlock ? width - first : kMeasureBlock);
      reservePendingPositions(count);
      const Pixel* at = a + first;
      if (wideVectorsInUse) {
        measureRowTriplesWide(at, at + width, at + 2 * width, count, &measures);
        addMeasuresWide(count);
      } else {
        measureRowTriplesBaseline(at, at + width, at + 2 * width, 0, count, &measures);
        addMeasuresBaseline(count);
      }
    }
    advanceDots(dots, t + 1, triples);
  }
}

// Lines as columns: in every storage row the triples are the pixels
// (0, 1, 2), (2, 3, 4), ...
void sampleColumnTriples(std::int32_t triples, ProgressDots* dots) {
  const std::ptrdiff_t width = inputImage.width;
  const std::int32_t rows = inputImage.height;
  for (std::int32_t y = 0; y < rows; ++y) {
    const Pixel* row = inputImage.pixels + y * width;
    for (std::int32_t first = 0; first < triples; first += kMeasureBlock) {
      const std::int32_t count = triples - first < kMeasureBlock ? triples - first : kMeasureBlock;
      reservePendingPositions(count);
      if (wideVectorsInUse) {
        measureColumnTriplesWide(row + 2 * static_cast<std::ptrdiff_t>(first), count, &measures);
        addMeasuresWide(count);
      } else {
        measureColumnTriplesBaseline(row + 2 * static_cast<std::ptrdiff_t>(first), 0, count, &measures);
        addMeasuresBaseline(count);
      }
    }
    advanceDots(dots, y + 1, rows);
  }
}

// --- Application ---------------------------------------------------------
//
// The correction works on colour bytes (kernels.h): a position's even pixel
// moves each byte up by its half correction for a positive entry and down
// for a negative one, the odd pixel the other way. The generator's draws go
// to the bytes they round: calls 1, 3 and 5 (red, green, blue of the odd
// pixel) and calls 2, 4 and 6 (the same of the even pixel).

// The generator call (1 to 6) whose draw rounds colour byte `byte` of the
// even or odd pixel of a position; 0 for the alpha byte, which takes none.
constexpr int kCallOfByte[2][4] = {{6, 4, 2, 0}, {5, 3, 1, 0}};

// Per cell: the magnitude of each shiftTable entry, in byte order (blue,
// green, red, then 0 for alpha), and 0xFF in the byte of each negative
// entry. Built from shiftTable when performShift starts.
struct CellCorrection {
  std::uint16_t magnitude[4];
  std::uint8_t negative[4];
};
CellCorrection cellCorrections[kCellCount];

void prepareCellCorrections() {
  for (int cell = 0; cell < kCellCount; ++cell) {
    CellCorrection& correction = cellCorrections[cell];
    for (int byte = 0; byte < 4; ++byte) {
      const std::int32_t value = byte < 3 ? shiftTable[cell][2 - byte] : 0;
      correction.magnitude[byte] = static_cast<std::uint16_t>(value < 0 ? -value : value);
      correction.negative[byte] = value < 0 ? 0xFF : 0x00;
    }
  }
}

// Positions corrected together: their draws and corrections are kept in
// small arrays that stay in the first-level cache.
constexpr std::int32_t kBlock = 256;

// The inputs of the correction of one block, per colour byte of the pixels
// it corrects (kernels.h): with lines as rows, the even pixels' bytes come
// first and the odd pixels' bytes start at kOddBytes; with lines as columns,
// the pixels of each pair follow each other.
constexpr std::int32_t kOddBytes = 4 * kBlock;
struct CorrectionBlock {
  std::uint16_t threshold[8 * kBlock];
  std::uint16_t magnitude[8 * kBlock];
  std::uint8_t down[8 * kBlock];
  std::int32_t cell[kBlock];
};
alignas(32) CorrectionBlock block;

// Only bits 5 to 13 of a state make its threshold, and the low 16 bits of a
// state follow from the low 16 bits of the one before, so the draws of a
// block are worked out in 16-bit arithmetic.
//
// alongPairJumps, at index e * kOddBytes + 4 * i + byte: the low 16 bits of
// the jump from the state before a block of positions along one pair to the
// draw for colour byte `byte` of the even (e = 0) or odd (e = 1) pixel of
// its position i. acrossPairJumps, at index 4 * e + byte: the same from the
// state before one position. The alpha byte takes no draw; a jump to 0
// gives it threshold 0.
struct LowJumps {
  std::uint16_t multiplier[8 * kBlock];
  std::uint16_t increment[8 * kBlock];
};
LowJumps alongPairJumps;
std::uint16_t acrossPairMultiplier[8];
std::uint16_t acrossPairIncrement[8];
bool pairJumpsReady = false;

void setLowJump(std::uint16_t* multiplier, std::uint16_t* increment, std::uint64_t steps) {
  const GeneratorJump jump = steps > 0 ? generatorJump(steps) : GeneratorJump{0, 0};
  *multiplier = static_cast<std::uint16_t>(jump.multiplier);
  *increment = static_cast<std::uint16_t>(jump.increment);
}

void preparePairJumps() {
  if (pairJumpsReady) return;
  for (int e = 0; e < 2; ++e) {
    for (int byte = 0; byte < 4; ++byte) {
      const std::uint64_t call = static_cast<std::uint64_t>(kCallOfByte[e][byte]);
      setLowJump(&acrossPairMultiplier[4 * e + byte], &acrossPairIncrement[4 * e + byte], call);
      for (int i = 0; i < kBlock; ++i) {
        const std::int32_t index = e * kOddBytes + 4 * i + byte;
        setLowJump(&alongPairJumps.multiplier[index], &alongPairJumps.increment[index],
                   call ? kDrawsPerPosition * i + call : 0);
      }
    }
  }
  pairJumpsReady = true;
}

// The low 16 bits of multiplier * state + increment. The arithmetic is done
// unsigned, so that it wraps; only its low 16 bits are kept, which lets the
// compiler work in 16-bit lanes.
LOMVERA_ALWAYS_INLINE std::uint16_t lowStateAfter(std::uint16_t multiplier, std::uint16_t increment,
                                                  std::uint16_t state) {
  return static_cast<std::uint16_t>(static_cast<unsigned>(multiplier) * state + increment);
}

LOMVERA_ALWAYS_INLINE std::uint16_t thresholdOf(std::uint16_t lowState) {
  return static_cast<std::uint16_t>((lowState >> 5) & 511);
}

// Lines as rows: the thresholds of `count` consecutive positions along one
// pair, from the (low 16 bits of the) state *state before them; leaves
// *state after their last draw.
LOMVERA_ALWAYS_INLINE void drawAlongPair(std::uint16_t* state, std::int32_t count) {
  const std::uint16_t start = *state;
  for (int e = 0; e < 2; ++e) {
    const std::uint16_t* multiplier = alongPairJumps.multiplier + e * kOddBytes;
    const std::uint16_t* increment = alongPairJumps.increment + e * kOddBytes;
    std::uint16_t* threshold = block.threshold + e * kOddBytes;
    for (std::int32_t f = 0; f < 4 * count; ++f)
      threshold[f] = thresholdOf(lowStateAfter(multiplier[f], increment[f], start));
  }
  // The last draw of the block is the blue byte of the last even pixel.
  const std::int32_t last = 4 * (count - 1);
  *state = lowStateAfter(alongPairJumps.multiplier[last], alongPairJumps.increment[last], start);
}

// Lines as columns: the thresholds of one position in each of `count`
// pairs, pair p from chains[p]; moves every chain on by one position.
LOMVERA_ALWAYS_INLINE void drawAcrossPairs(std::uint16_t* chains, std::int32_t count) {
  for (std::int32_t p = 0; p < count; ++p) {
    for (int f = 0; f < 8; ++f)
      block.threshold[8 * p + f] =
          thresholdOf(lowStateAfter(acrossPairMultiplier[f], acrossPairIncrement[f], chains[p]));
  }
  // Six draws: as far as the even pixel's blue byte.
  const std::uint16_t multiplier = acrossPairMultiplier[0];
  const std::uint16_t increment = acrossPairIncrement[0];
  for (std::int32_t p = 0; p < count; ++p) chains[p] = lowStateAfter(multiplier, increment, chains[p]);
}

// The corrections of the cells of `count` even pixels even[p * kStride], put
// at the colour bytes of the pixels they correct: with lines as rows
// (kStride 1) at pixel p, one set for both rows of the pair, the odd row's
// down bytes reversed at kOddBytes; with lines as columns (kStride 2) at
// pixels 2p and 2p + 1.
template <int kStride>
LOMVERA_ALWAYS_INLINE void lookUpCorrections(const Pixel* even, std::int32_t count) {
  for (std::int32_t p = 0; p < count; ++p) block.cell[p] = colourCellOf(even[p * kStride]);
  for (std::int32_t p = 0; p < count; ++p) {
    const CellCorrection& correction = cellCorrections[block.cell[p]];
    std::uint32_t negative;
    std::memcpy(&negative, correction.negative, sizeof negative);
    const std::uint32_t reversed = ~negative;
    if (kStride == 1) {
      std::memcpy(block.magnitude + 4 * p, correction.magnitude, sizeof correction.magnitude);
      std::memcpy(block.down + 4 * p, &negative, sizeof negative);
      std::memcpy(block.down + kOddBytes + 4 * p, &reversed, sizeof reversed);
    } else {
      std::memcpy(block.magnitude + 8 * p, correction.magnitude, sizeof correction.magnitude);
      std::memcpy(block.magnitude + 8 * p + 4, correction.magnitude, sizeof correction.magnitude);
      std::memcpy(block.down + 8 * p, &negative, sizeof negative);
      std::memcpy(block.down + 8 * p + 4, &reversed, sizeof reversed);
    }
  }
}

// Draws and corrections of one block, in both builds of the loops.
void prepareRowBlockBaseline(std::uint16_t* state, const Pixel* even, std::int32_t count) {
  drawAlongPair(state, count);
  lookUpCorrections<1>(even, count);
}
LOMVERA_WIDE_VECTOR_CODE void prepareRowBlockWide(std::uint16_t* state, const Pixel* even, std::int32_t count) {
  drawAlongPair(state, count);
  lookUpCorrections<1>(even, count);
}
void prepareColumnBlockBaseline(std::uint16_t* chains, const Pixel* row, std::int32_t count) {
  drawAcrossPairs(chains, count);
  lookUpCorrections<2>(row, count);
}
LOMVERA_WIDE_VECTOR_CODE void prepareColumnBlockWide(std::uint16_t* chains, const Pixel* row, std::int32_t count) {
  drawAcrossPairs(chains, count);
  lookUpCorrections<2>(row, count);
}

std::uint32_t correctPixels(const Pixel* in, Pixel* out, std::int32_t firstByte, std::int32_t magnitudeByte,
                            std::int32_t count) {
  if (wideVectorsInUse) {
    return correctPixelsWide(in, out, block.threshold + firstByte, block.magnitude + magnitudeByte,
                             block.down + firstByte, count);
  }
  return correctPixelsBaseline(in, out, block.threshold + firstByte, block.magnitude + magnitudeByte,
                               block.down + firstByte, count);
}

// Lines as rows: pair (x, x + 1) is two whole rows, corrected position by
// position in the generator's own order.
void correctRowPairs(std::int32_t pairs, std::uint16_t state, ProgressDots* dots) {
  const std::ptrdiff_t width = inputImage.width;
  std::int64_t total = 0;
  for (std::int32_t pair = 0; pair < pairs; ++pair) {
    const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(2 * pair) * width;
    const Pixel* even = inputImage.pixels + start;
    Pixel* evenOut = outputImage.pixels + start;
    for (std::ptrdiff_t j = 0; j < width; j += kBlock) {
      const std::int32_t count = static_cast<std::int32_t>(width - j < kBlock ? width - j : kBlock);
      if (wideVectorsInUse) {
        prepareRowBlockWide(&state, even + j, count);
      } else {
        prepareRowBlockBaseline(&state, even + j, count);
      }
      total += correctPixels(even + j, evenOut + j, 0, 0, count);
      total += correctPixels(even + width + j, evenOut + width + j, kOddBytes, 0, count);
    }
    advanceDots(dots, pair + 1, pairs);
  }
  shiftTotal += total;
}

// Lines as columns: in every storage row the pairs are the pixels (0, 1),
// (2, 3), ... Each pair keeps its own generator state, the state before its
// draws at the current row, and moves it on by one position per row.
void correctColumnPairs(std::int32_t pairs, std::uint32_t state, ProgressDots* dots) {
  const std::ptrdiff_t width = inputImage.width;
  const std::int32_t rows = inputImage.height;
  std::vector<std::uint16_t> chains(static_cast<std::size_t>(pairs));
  const GeneratorJump pairJump = generatorJump(static_cast<std::uint64_t>(kDrawsPerPosition) * rows);
  for (std::int32_t pair = 0; pair < pairs; ++pair) {
    chains[static_cast<std::size_t>(pair)] = static_cast<std::uint16_t>(state);
    state = jumpedState(pairJump, state);
  }
  std::int64_t total = 0;
  for (std::int32_t y = 0; y < rows; ++y) {
    const Pixel* row = inputImage.pixels + y * width;
    Pixel* rowOut = outputImage.pixels + y * width;
    for (std::int32_t first = 0; first < pairs; first += kBlock) {
      const std::int32_t count = pairs - first < kBlock ? pairs - first : kBlock;
      const std::ptrdiff_t column = 2 * static_cast<std::ptrdiff_t>(first);
      if (wideVectorsInUse) {
        prepareColumnBlockWide(chains.data() + first, row + column, count);
      } else {
        prepareColumnBlockBaseline(chains.data() + first, row + column, count);
      }
      total += correctPixels(row + column, rowOut + column, 0, 0, 2 * count);
    }
    advanceDots(dots, y + 1, rows);
  }
  shiftTotal += total;
}

// The line that belongs to no pair (the last of an odd number of lines) is
// kept as it is, without its alpha byte.
void copyUnpairedLine() {
  if (lineCount % 2 == 0) return;
  const std::ptrdiff_t width = inputImage.width;
  if (inputImage.transposed) {
    const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(lineCount - 1) * width;
    for (std::ptrdiff_t x = 0; x < width; ++x)
      outputImage.pixels[start + x] = inputImage.pixels[start + x] & 0x00FFFFFF;
  } else {
    for (std::ptrdiff_t y = 0; y < inputImage.height; ++y) {
      const std::ptrdiff_t at = y * width + lineCount - 1;
      outputImage.pixels[at] = inputImage.pixels[at] & 0x00FFFFFF;
    }
  }
}

}  // namespace

std::int32_t progressIntervalFor(std::int32_t lineCount) { return (lineCount / 50) & 0xFFFE; }

GeneratorJump generatorJump(std::uint64_t steps) {
  GeneratorJump result{1, 0};
  GeneratorJump power{kDitherMultiplier, kDitherIncrement};
  while (steps != 0) {
    if (steps & 1)
      result = {power.multiplier * result.multiplier, power.multiplier * result.increment + power.increment};
    power = {power.multiplier * power.multiplier, power.multiplier * power.increment + power.increment};
    steps >>= 1;
  }
  return result;
}

void computeShift() {
  std::memset(shiftSums, 0, sizeof shiftSums);
  std::memset(shiftCounts, 0, sizeof shiftCounts);
  std::memset(pendingCells, 0, sizeof pendingCells);
  pendingPositions = 0;
  printNow("%s", kComputeShiftLabel);
  const std::int32_t triples = lineCount > 2 ? (lineCount - 1) / 2 : 0;
  ProgressDots dots{dotsOfWalk(triples, progressIntervalFor(lineCount)), 0};
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

void buildShiftTable() {
  printNow("%s", kBuildTableLabel);
  for (int cell = 0; cell < kCellCount; ++cell) {
    for (int channel = 0; channel < kChannelCount; ++channel) {
      // Truncated toward zero; the + 1 damps cells with few samples and keeps
      // empty cells at 0.
      shiftTable[cell][channel] =
          static_cast<std::int32_t>(shiftSums[cell][channel] * 256 / (shiftCounts[cell][channel] + 1));
    }
    if ((cell + 1) % kTableDotEvery == 0) printNow(".");
  }
  printNow("\n");
}

std::int32_t ditherHalf(std::int32_t value) {
  ditherState = ditherState * kDitherMultiplier + kDitherIncrement;
  const std::uint32_t threshold = (ditherState >> 5) & 511;
  const std::uint32_t magnitude =
      value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  const std::int32_t rounded = static_cast<std::int32_t>((magnitude >> 9) + ((magnitude & 511) > threshold ? 1 : 0));
  shiftTotal += rounded;
  return value > 0 ? rounded : -rounded;
}

void performShift() {
  printNow("%s", kPerformShiftLabel);
  const std::int32_t pairs = lineCount > 1 ? lineCount / 2 : 0;
  ProgressDots dots{dotsOfWalk(pairs, progressIntervalFor(lineCount)), 0};
  if (pairs > 0 && lineLength > 0) {
    preparePairJumps();
    prepareCellCorrections();
    const std::uint32_t start = ditherState;
    if (inputImage.transposed) {
      correctRowPairs(pairs, static_cast<std::uint16_t>(start), &dots);
    } else {
      correctColumnPairs(pairs, start, &dots);
    }
    // Every position of every pair takes its six draws.
    ditherState = jumpedState(
        generatorJump(static_cast<std::uint64_t>(kDrawsPerPosition) * static_cast<std::uint64_t>(pairs) *
                      static_cast<std::uint64_t>(lineLength)),
        start);
  }
  advanceDots(&dots, 1, 1);
  if (lineLength > 0) copyUnpairedLine();
  printNow("\n");
}
