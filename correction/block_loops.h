#pragma once

// Loops compiled into both builds of the kernels (kernel_builds.h): plain
// C++ that each build's compiler settings vectorise in their own way. Only
// kernels_baseline.cpp and kernels_wide.cpp include this.

#include <cstddef>
#include <cstring>

#include "correction/correction.h"
#include "correction/generator.h"
#include "correction/kernels.h"
#include "platform/wide_vectors.h"

namespace block_loops {

LOMVERA_ALWAYS_INLINE void addMeasure(PendingCell& pending, const std::int16_t* contribution) {
  pending.sum[0] += contribution[0];
  pending.sum[1] += contribution[1];
  pending.sum[2] += contribution[2];
  pending.samples += contribution[3];
}

LOMVERA_ALWAYS_INLINE void addMeasures(const TripleMeasures& measures, std::int32_t count, PendingCell* first,
                                       PendingCell* second) {
  std::int32_t k = 0;
  for (; k + 1 < count; k += 2) {
    addMeasure(first[measures.cell[k]], measures.contribution[k]);
    addMeasure(second[measures.cell[k + 1]], measures.contribution[k + 1]);
  }
  if (k < count) addMeasure(first[measures.cell[k]], measures.contribution[k]);
}

// The low 16 bits of multiplier * state + increment. The arithmetic is done
// unsigned, so that it wraps; only its low 16 bits are kept, which lets the
// compiler work in 16-bit lanes.
LOMVERA_ALWAYS_INLINE std::uint16_t lowStateAfter(std::uint16_t multiplier, std::uint16_t increment,
                                                  std::uint16_t state) {
  return static_cast<std::uint16_t>(static_cast<unsigned>(multiplier) * state + increment);
}

LOMVERA_ALWAYS_INLINE std::uint16_t lowThresholdOf(std::uint16_t lowState) {
  return static_cast<std::uint16_t>(thresholdOf(lowState));
}

// Lines as rows: the thresholds of `count` consecutive positions along one pair.
LOMVERA_ALWAYS_INLINE void drawAlongPair(const DrawJumps& jumps, std::uint16_t* state, std::int32_t count,
                                         CorrectionBlock* block) {
  const std::uint16_t start = *state;
  for (int e = 0; e < 2; ++e) {
    const std::uint16_t* multiplier = jumps.alongMultiplier + e * kOddBytes;
    const std::uint16_t* increment = jumps.alongIncrement + e * kOddBytes;
    std::uint16_t* threshold = block->threshold + e * kOddBytes;
    for (std::int32_t f = 0; f < 4 * count; ++f)
      threshold[f] = lowThresholdOf(lowStateAfter(multiplier[f], increment[f], start));
  }
  // The last draw of the block is the blue byte of the last even pixel.
  const std::int32_t last = 4 * (count - 1);
  *state = lowStateAfter(jumps.alongMultiplier[last], jumps.alongIncrement[last], start);
}

// Lines as columns: the thresholds of one position in each of `count` pairs.
LOMVERA_ALWAYS_INLINE void drawAcrossPairs(const DrawJumps& jumps, std::uint16_t* chains, std::int32_t count,
                                           CorrectionBlock* block) {
  for (std::int32_t p = 0; p < count; ++p) {
    for (int f = 0; f < 8; ++f)
      block->threshold[8 * p + f] =
          lowThresholdOf(lowStateAfter(jumps.acrossMultiplier[f], jumps.acrossIncrement[f], chains[p]));
  }
  // Six draws: as far as the even pixel's blue byte.
  const std::uint16_t multiplier = jumps.acrossMultiplier[0];
  const std::uint16_t increment = jumps.acrossIncrement[0];
  for (std::int32_t p = 0; p < count; ++p) chains[p] = lowStateAfter(multiplier, increment, chains[p]);
}

// The corrections of the cells of `count` even pixels even[p * kStride], put
// at the colour bytes of the pixels they correct: with lines as rows
// (kStride 1) at pixel p, one set for both rows of the pair, the odd row's
// down bytes reversed at kOddBytes; with lines as columns (kStride 2) at
// pixels 2p and 2p + 1.
template <int kStride>
LOMVERA_ALWAYS_INLINE void lookUpCorrections(const CellCorrection* corrections, const Pixel* even, std::int32_t count,
                                             CorrectionBlock* block) {
  for (std::int32_t p = 0; p < count; ++p) block->cell[p] = colourCellOf(even[p * kStride]);
  for (std::int32_t p = 0; p < count; ++p) {
    const CellCorrection& correction = corrections[block->cell[p]];
    if (kStride == 1) {
      std::memcpy(block->magnitude + 4 * p, correction.magnitude, sizeof correction.magnitude);
      std::memcpy(block->down + 4 * p, &correction.down, sizeof correction.down);
      std::memcpy(block->down + kOddBytes + 4 * p, &correction.reversed, sizeof correction.reversed);
    } else {
      std::memcpy(block->magnitude + 8 * p, correction.magnitude, sizeof correction.magnitude);
      std::memcpy(block->magnitude + 8 * p + 4, correction.magnitude, sizeof correction.magnitude);
      // The even pixel's down bytes and the odd pixel's, which follow them.
      std::memcpy(block->down + 8 * p, reinterpret_cast<const unsigned char*>(&correction) + offsetof(CellCorrection, down),
                  sizeof correction.down + sizeof correction.reversed);
    }
  }
}

}  // namespace block_loops

// Defines the loops of this header as kernels of one build, named with
// `build`. The build defines drawAcrossPairs<build> itself, before this.
#define LOMVERA_DEFINE_BLOCK_LOOPS(build, attributes)                                                              \
  attributes void addMeasures##build(const TripleMeasures& measures, std::int32_t count, PendingCell* first,       \
                                     PendingCell* second) {                                                        \
    block_loops::addMeasures(measures, count, first, second);                                                      \
  }                                                                                                                \
  attributes void prepareRowBlock##build(const DrawJumps& jumps, const CellCorrection* corrections,                \
                                         std::uint16_t* state, const Pixel* even, std::int32_t count,              \
                                         CorrectionBlock* block) {                                                 \
    block_loops::drawAlongPair(jumps, state, count, block);                                                        \
    block_loops::lookUpCorrections<1>(corrections, even, count, block);                                            \
  }                                                                                                                \
  attributes void prepareColumnBlock##build(const DrawJumps& jumps, const CellCorrection* corrections,             \
                                            std::uint16_t* chains, const Pixel* row, std::int32_t count,           \
                                            CorrectionBlock* block) {                                              \
    drawAcrossPairs##build(jumps, chains, count, block);                                                           \
    block_loops::lookUpCorrections<2>(corrections, row, count, block);                                             \
  }
