#include "correction/correction.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/driver.h"
#include "platform/console.h"
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

// Only positions whose middle pixel lies this close to the first outer pixel
// (sum of the three channel differences) are taken as samples: elsewhere the
// picture itself changes, and the difference says nothing about the stripes.
constexpr int kSimilarityLimit = 150;
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

// Sums of one cell since they were last moved into shiftSums and shiftCounts.
// 32-bit sums are quicker to add; they are moved out long before one could
// overflow.
struct PendingCell {
  std::int32_t red;
  std::int32_t green;
  std::int32_t blue;
  std::int32_t samples;
};

// Two sets of pending sums, taken by turns from one position to the next, so
// that runs of one colour do not make every addition wait for the one before.
// Each set has one slot per cell and one more that collects the positions
// that are not samples, so that the walk does not branch on the similarity
// test.
constexpr int kNotASample = kCellCount;
alignas(16) PendingCell pendingCells[2][kCellCount + 1];
std::int64_t pendingSamples = 0;

// A contribution 2b - a - c lies within +-405, so a 32-bit sum takes over
// 5.3 million of them; the pending sums are moved out before 5 million.
constexpr std::int64_t kSamplesBeforeFlush = 5000000;
// Longest run of positions handed to sampleRun in one call.
constexpr std::int32_t kSampleChunk = 1 << 20;

void flushPendingCells() {
  for (const auto& set : pendingCells) {
    for (int cell = 0; cell < kCellCount; ++cell) {
      const PendingCell& pending = set[cell];
      shiftSums[cell][0] += pending.red;
      shiftSums[cell][1] += pending.green;
      shiftSums[cell][2] += pending.blue;
      const std::int64_t counted = std::int64_t{2} * pending.samples;
      shiftCounts[cell][0] += counted;
      shiftCounts[cell][1] += counted;
      shiftCounts[cell][2] += counted;
    }
  }
  std::memset(pendingCells, 0, sizeof pendingCells);
  pendingSamples = 0;
}

LOMVERA_ALWAYS_INLINE int cellOfPixel(Pixel p) {
  return static_cast<int>(((p >> 9) & 0x7C00) | ((p >> 6) & 0x03E0) | ((p >> 3) & 0x001F));
}

LOMVERA_ALWAYS_INLINE int absolute(int value) { return value < 0 ? -value : value; }

// Positions measured together: first each one's cell and contribution, in
// a loop the compiler turns into vector instructions, then the additions.
constexpr std::int32_t kSampleBlock = 512;
struct SampleBlock {
  std::int32_t cell[kSampleBlock];
  std::int32_t contribution[kSampleBlock][4];  // red, green, blue, one sample
};
alignas(32) SampleBlock sampleBlock;

// Adds the samples of `count` positions (at most kSampleBlock): the outer
// pixels a[k * kStride] and c[k * kStride], the middle pixel b[k * kStride].
template <int kStride>
LOMVERA_ALWAYS_INLINE void sampleBlockOf(const Pixel* a, const Pixel* b, const Pixel* c, std::int32_t count) {
  for (std::int32_t k = 0; k < count; ++k) {
    const Pixel pa = a[k * kStride];
    const Pixel pb = b[k * kStride];
    const Pixel pc = c[k * kStride];
    const int ar = static_cast<int>((pa >> 16) & 0xFF), ag = static_cast<int>((pa >> 8) & 0xFF),
              ab = static_cast<int>(pa & 0xFF);
    const int br = static_cast<int>((pb >> 16) & 0xFF), bg = static_cast<int>((pb >> 8) & 0xFF),
              bb = static_cast<int>(pb & 0xFF);
    const int cr = static_cast<int>((pc >> 16) & 0xFF), cg = static_cast<int>((pc >> 8) & 0xFF),
              cb = static_cast<int>(pc & 0xFF);
    const int difference = absolute(br - ar) + absolute(bg - ag) + absolute(bb - ab);
    sampleBlock.cell[k] = difference <= kSimilarityLimit ? cellOfPixel(pa) : kNotASample;
    sampleBlock.contribution[k][0] = 2 * br - ar - cr;
    sampleBlock.contribution[k][1] = 2 * bg - ag - cg;
    sampleBlock.contribution[k][2] = 2 * bb - ab - cb;
    sampleBlock.contribution[k][3] = 1;
  }
  for (std::int32_t k = 0; k < count; ++k) {
    PendingCell& pending = pendingCells[k & 1][sampleBlock.cell[k]];
    const std::int32_t* contribution = sampleBlock.contribution[k];
    pending.red += contribution[0];
    pending.green += contribution[1];
    pending.blue += contribution[2];
    pending.samples += contribution[3];
  }
}

// sampleBlockOf over a run of any length, moving the pending sums out
// whenever the next chunk could take them past the safe count.
template <int kStride>
LOMVERA_ALWAYS_INLINE void sampleRun(const Pixel* a, const Pixel* b, const Pixel* c, std::int64_t count) {
  for (std::int64_t done = 0; done < count; done += kSampleChunk) {
    const std::int32_t chunk = static_cast<std::int32_t>(count - done < kSampleChunk ? count - done : kSampleChunk);
    if (pendingSamples + chunk > kSamplesBeforeFlush) flushPendingCells();
    pendingSamples += chunk;
    for (std::int32_t first = 0; first < chunk; first += kSampleBlock) {
      const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(done + first) * kStride;
      const std::int32_t n = chunk - first < kSampleBlock ? chunk - first : kSampleBlock;
      sampleBlockOf<kStride>(a + offset, b + offset, c + offset, n);
    }
  }
}

// Every triple of inputImage. Lines as rows: triple i is three whole rows of
// storage. Lines as columns: in every storage row the triples are the pixels
// (0, 1, 2), (2, 3, 4), ...
LOMVERA_ALWAYS_INLINE void sampleTriples(std::int32_t triples, ProgressDots* dots) {
  const std::ptrdiff_t width = inputImage.width;
  if (inputImage.transposed) {
    for (std::int32_t t = 0; t < triples; ++t) {
      const Pixel* a = inputImage.pixels + static_cast<std::ptrdiff_t>(2 * t) * width;
      sampleRun<1>(a, a + width, a + 2 * width, width);
      advanceDots(dots, t + 1, triples);
    }
  } else {
    const std::int32_t rows = inputImage.height;
    for (std::int32_t y = 0; y < rows; ++y) {
      const Pixel* row = inputImage.pixels + y * width;
      sampleRun<2>(row, row + 1, row + 2, triples);
      advanceDots(dots, y + 1, rows);
    }
  }
}

void sampleTriplesBaseline(std::int32_t triples, ProgressDots* dots) { sampleTriples(triples, dots); }
LOMVERA_WIDE_VECTOR_CODE void sampleTriplesWide(std::int32_t triples, ProgressDots* dots) {
  sampleTriples(triples, dots);
}

// --- Application ---------------------------------------------------------

// A shiftTable entry split for the correction: its magnitude (below 51,840,
// so 16 bits hold it) per channel, and bit c of `negative` set when the entry
// of channel c is negative. Built from shiftTable when performShift starts.
struct CellCorrection {
  std::uint16_t magnitude[kChannelCount];
  std::uint16_t negative;
};
CellCorrection cellCorrections[kCellCount];

void prepareCellCorrections() {
  for (int cell = 0; cell < kCellCount; ++cell) {
    CellCorrection& correction = cellCorrections[cell];
    correction.negative = 0;
    for (int channel = 0; channel < kChannelCount; ++channel) {
      const std::int32_t value = shiftTable[cell][channel];
      correction.magnitude[channel] = static_cast<std::uint16_t>(value < 0 ? -value : value);
      if (value < 0) correction.negative = static_cast<std::uint16_t>(correction.negative | 1u << channel);
    }
  }
}

// Positions corrected together: their draws, cells and corrections are kept
// in small arrays that stay in the first-level cache.
constexpr std::int32_t kBlock = 256;

// The jumps from the state before a block of positions along one pair to
// each of the block's draws: jump number k * kBlock + i reaches draw k + 1
// of position i.
GeneratorJump blockDrawJumps[kDrawsPerPosition * kBlock];
bool blockDrawJumpsReady = false;

void prepareBlockDrawJumps() {
  if (blockDrawJumpsReady) return;
  for (int i = 0; i < kBlock; ++i) {
    for (int k = 0; k < kDrawsPerPosition; ++k)
      blockDrawJumps[k * kBlock + i] = generatorJump(static_cast<std::uint64_t>(kDrawsPerPosition) * i + k + 1);
  }
  blockDrawJumpsReady = true;
}

struct CorrectionBlock {
  std::uint16_t threshold[kDrawsPerPosition][kBlock];  // by call, then position
  std::int32_t cell[kBlock];                           // of each even pixel
  CellCorrection correction[kBlock];                   // of that cell
};
alignas(32) CorrectionBlock block;

LOMVERA_ALWAYS_INLINE std::uint16_t thresholdOf(std::uint32_t state) {
  return static_cast<std::uint16_t>((state >> 5) & 511);
}

// Thresholds of `count` consecutive positions along one pair, starting from
// the generator state *state; leaves *state after the last of their draws.
LOMVERA_ALWAYS_INLINE void drawAlongPair(std::uint32_t* state, std::int32_t count) {
  const std::uint32_t start = *state;
  for (int k = 0; k < kDrawsPerPosition; ++k) {
    const GeneratorJump* jumps = blockDrawJumps + k * kBlock;
    std::uint16_t* threshold = block.threshold[k];
    for (std::int32_t i = 0; i < count; ++i)
      threshold[i] = thresholdOf(jumps[i].multiplier * start + jumps[i].increment);
  }
  *state = jumpedState(blockDrawJumps[(kDrawsPerPosition - 1) * kBlock + count - 1], start);
}

// Thresholds of one position in each of `count` pairs, pair p starting from
// chains[p]; moves every chain on by one position.
LOMVERA_ALWAYS_INLINE void drawAcrossPairs(std::uint32_t* chains, std::int32_t count) {
  for (int k = 0; k < kDrawsPerPosition; ++k) {
    const GeneratorJump jump = blockDrawJumps[k * kBlock];
    std::uint16_t* threshold = block.threshold[k];
    for (std::int32_t i = 0; i < count; ++i) threshold[i] = thresholdOf(jump.multiplier * chains[i] + jump.increment);
  }
  const GeneratorJump next = blockDrawJumps[(kDrawsPerPosition - 1) * kBlock];
  for (std::int32_t i = 0; i < count; ++i) chains[i] = next.multiplier * chains[i] + next.increment;
}

// The corrections of the cells of `count` even pixels.
template <int kStride>
LOMVERA_ALWAYS_INLINE void lookUpCorrections(const Pixel* even, std::int32_t count) {
  for (std::int32_t i = 0; i < count; ++i) block.cell[i] = cellOfPixel(even[i * kStride]);
  for (std::int32_t i = 0; i < count; ++i) block.correction[i] = cellCorrections[block.cell[i]];
}

LOMVERA_ALWAYS_INLINE std::int16_t clampLevel(std::int16_t value) {
  return value < 0 ? std::int16_t{0} : (value > 255 ? std::int16_t{255} : value);
}

// Corrects `count` positions of a pair from the block's thresholds and
// corrections: ditherHalf twice per channel, odd pixel first, then clamping.
// Every value fits 16 bits: levels 0..255, halves up to 102. Returns the sum
// of the magnitudes of the corrections.
template <int kStride>
LOMVERA_ALWAYS_INLINE std::uint32_t correctBlockOf(const Pixel* even, const Pixel* odd, Pixel* evenOut,
                                                   Pixel* oddOut, std::int32_t count) {
  std::uint32_t total = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    const Pixel e = even[i * kStride];
    const Pixel o = odd[i * kStride];
    const CellCorrection& correction = block.correction[i];
    std::int16_t evenLevel[kChannelCount];
    std::int16_t oddLevel[kChannelCount];
    std::uint16_t sum = 0;
    for (int channel = 0; channel < kChannelCount; ++channel) {
      const std::uint16_t magnitude = correction.magnitude[channel];
      // All ones when the entry is negative.
      const std::int16_t negative = static_cast<std::int16_t>(
          static_cast<std::int16_t>(static_cast<std::uint16_t>(correction.negative << (15 - channel))) >> 15);
      const std::uint16_t whole = static_cast<std::uint16_t>(magnitude >> 9);
      const std::uint16_t remainder = static_cast<std::uint16_t>(magnitude & 511);
      const std::int16_t oddHalf =
          static_cast<std::int16_t>(whole + (remainder > block.threshold[2 * channel][i] ? 1 : 0));
      const std::int16_t evenHalf =
          static_cast<std::int16_t>(whole + (remainder > block.threshold[2 * channel + 1][i] ? 1 : 0));
      sum = static_cast<std::uint16_t>(sum + oddHalf + evenHalf);
      const int shift = 16 - 8 * channel;
      oddLevel[channel] = clampLevel(static_cast<std::int16_t>(static_cast<std::int16_t>((o >> shift) & 0xFF) -
                                                               ((oddHalf ^ negative) - negative)));
      evenLevel[channel] = clampLevel(static_cast<std::int16_t>(static_cast<std::int16_t>((e >> shift) & 0xFF) +
                                                                ((evenHalf ^ negative) - negative)));
    }
    total += sum;
    evenOut[i * kStride] = static_cast<Pixel>(evenLevel[0]) << 16 | static_cast<Pixel>(evenLevel[1]) << 8 |
                           static_cast<Pixel>(evenLevel[2]);
    oddOut[i * kStride] = static_cast<Pixel>(oddLevel[0]) << 16 | static_cast<Pixel>(oddLevel[1]) << 8 |
                          static_cast<Pixel>(oddLevel[2]);
  }
  return total;
}

// Every pair of inputImage into outputImage, the generator standing at
// `state` before the first draw. Lines as rows: pair (x, x + 1) is two whole
// rows, corrected position by position in the generator's own order.
// Lines as columns: in every storage row the pairs are the pixels (0, 1),
// (2, 3), ... Each pair then keeps its own generator state, the state before
// its draws at the current row, and moves it on by one position per row.
LOMVERA_ALWAYS_INLINE void correctPairs(std::int32_t pairs, std::uint32_t state, ProgressDots* dots) {
  const std::ptrdiff_t width = inputImage.width;
  std::int64_t total = 0;
  if (inputImage.transposed) {
    for (std::int32_t pair = 0; pair < pairs; ++pair) {
      const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(2 * pair) * width;
      const Pixel* even = inputImage.pixels + start;
      Pixel* evenOut = outputImage.pixels + start;
      for (std::ptrdiff_t j = 0; j < width; j += kBlock) {
        const std::int32_t count = static_cast<std::int32_t>(width - j < kBlock ? width - j : kBlock);
        drawAlongPair(&state, count);
        lookUpCorrections<1>(even + j, count);
        total += correctBlockOf<1>(even + j, even + width + j, evenOut + j, evenOut + width + j, count);
      }
      advanceDots(dots, pair + 1, pairs);
    }
  } else {
    const std::int32_t rows = inputImage.height;
    std::vector<std::uint32_t> chains(static_cast<std::size_t>(pairs));
    const GeneratorJump pairJump = generatorJump(static_cast<std::uint64_t>(kDrawsPerPosition) * rows);
    for (std::int32_t pair = 0; pair < pairs; ++pair) {
      chains[static_cast<std::size_t>(pair)] = state;
      state = jumpedState(pairJump, state);
    }
    for (std::int32_t y = 0; y < rows; ++y) {
      const Pixel* row = inputImage.pixels + y * width;
      Pixel* rowOut = outputImage.pixels + y * width;
      for (std::int32_t first = 0; first < pairs; first += kBlock) {
        const std::int32_t count = pairs - first < kBlock ? pairs - first : kBlock;
        drawAcrossPairs(chains.data() + first, count);
        const std::ptrdiff_t column = 2 * static_cast<std::ptrdiff_t>(first);
        lookUpCorrections<2>(row + column, count);
        total += correctBlockOf<2>(row + column, row + column + 1, rowOut + column, rowOut + column + 1, count);
      }
      advanceDots(dots, y + 1, rows);
    }
  }
  shiftTotal += total;
}

void correctPairsBaseline(std::int32_t pairs, std::uint32_t state, ProgressDots* dots) {
  correctPairs(pairs, state, dots);
}
LOMVERA_WIDE_VECTOR_CODE void correctPairsWide(std::int32_t pairs, std::uint32_t state, ProgressDots* dots) {
  correctPairs(pairs, state, dots);
}

// The line that belongs to no pair (the last of an odd number of lines) is
// kept as it is, without its alpha byte.
void copyUnpairedLine() {
  if (lineCount % 2 == 0) return;
  const std::ptrdiff_t width = inputImage.width;
  if (inputImage.transposed) {
    const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(lineCount - 1) * width;
    for (std::ptrdiff_t x = 0; x < width; ++x) outputImage.pixels[start + x] = inputImage.pixels[start + x] & 0x00FFFFFF;
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
    if (steps & 1) result = {power.multiplier * result.multiplier, power.multiplier * result.increment + power.increment};
    power = {power.multiplier * power.multiplier, power.multiplier * power.increment + power.increment};
    steps >>= 1;
  }
  return result;
}

void computeShift() {
  std::memset(shiftSums, 0, sizeof shiftSums);
  std::memset(shiftCounts, 0, sizeof shiftCounts);
  std::memset(pendingCells, 0, sizeof pendingCells);
  pendingSamples = 0;
  printNow("%s", kComputeShiftLabel);
  const std::int32_t triples = lineCount > 2 ? (lineCount - 1) / 2 : 0;
  ProgressDots dots{dotsOfWalk(triples, progressIntervalFor(lineCount)), 0};
  if (triples > 0 && lineLength > 0) {
    if (wideVectorsInUse) {
      sampleTriplesWide(triples, &dots);
    } else {
      sampleTriplesBaseline(triples, &dots);
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
  const std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  const std::int32_t rounded = static_cast<std::int32_t>((magnitude >> 9) + ((magnitude & 511) > threshold ? 1 : 0));
  shiftTotal += rounded;
  return value > 0 ? rounded : -rounded;
}

void performShift() {
  printNow("%s", kPerformShiftLabel);
  const std::int32_t pairs = lineCount > 1 ? lineCount / 2 : 0;
  ProgressDots dots{dotsOfWalk(pairs, progressIntervalFor(lineCount)), 0};
  if (pairs > 0 && lineLength > 0) {
    prepareBlockDrawJumps();
    prepareCellCorrections();
    const std::uint32_t start = ditherState;
    if (wideVectorsInUse) {
      correctPairsWide(pairs, start, &dots);
    } else {
      correctPairsBaseline(pairs, start, &dots);
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
