#pragma once

// The innermost loops of computeShift and performShift, one name each. Every
// kernel comes in two builds that give the same results: a baseline one in
// plain C++ for any processor (kernels_baseline.cpp), and a wide vector one
// for processors with AVX2 (kernels_wide.cpp; see platform/wide_vectors.h).
// kernels.cpp chooses between them, for every kernel in the same way.
//
// Pixels are taken in their storage byte order: blue, green, red, alpha.
// The "colour byte" f of a run of pixels is byte f % 4 of pixel f / 4.

#include <cstdint>

#include "correction/correction.h"
#include "image/image.h"

// --- Statistics ------------------------------------------------------------

// Only positions whose middle pixel lies this close to the first outer pixel
// (sum of the three channel differences) are taken as samples: elsewhere the
// picture itself changes, and the difference says nothing about the stripes.
constexpr int kSimilarityLimit = 150;

// Positions measured by one call.
constexpr std::int32_t kMeasureBlock = 512;
// The cell under which positions that are not samples are filed: one past
// the last colour cell, so that the additions need not test for them.
constexpr std::int32_t kNotASampleCell = 32768;

// What one call measures at each position k of a run of triples (outer
// pixels a and c, middle pixel b): the ColourCell of a, or kNotASampleCell
// when b differs from a by more than the similarity limit; and 2b - a - c in
// blue, green and red, followed by 1, the sample the position counts for.
struct TripleMeasures {
  std::int32_t cell[kMeasureBlock];
  std::int16_t contribution[kMeasureBlock][4];
};

// Sums of one cell not yet moved into shiftSums and shiftCounts, by channel
// in pixel byte order (blue, green, red), and the samples.
struct PendingCell {
  std::int32_t sum[3];
  std::int32_t samples;
};

// Lines as rows: the triples a[k], b[k], c[k] for k < count (count at most
// kMeasureBlock).
void measureRowTriples(const Pixel* a, const Pixel* b, const Pixel* c, std::int32_t count, TripleMeasures* measures);
// Lines as columns: the triples row[2k], row[2k + 1], row[2k + 2] for k < count.
void measureColumnTriples(const Pixel* row, std::int32_t count, TripleMeasures* measures);
// Adds the measures of `count` positions to the pending sums, to the two
// sets by turns, so that runs of one colour do not make every addition wait
// for the one before. Each set has kCellCount + 1 cells.
void addMeasures(const TripleMeasures& measures, std::int32_t count, PendingCell* first, PendingCell* second);

// --- Application -----------------------------------------------------------

// No shiftTable entry reaches this magnitude: a sample adds at most
// |b - a| + |b - c| <= kSimilarityLimit + kLargestLevel to its cell's sum in
// each channel and kCountPerSample to its count, and an entry is
// kTableUnitsPerLevel x sum / (count + 1). So a magnitude fits 16 bits.
constexpr std::int64_t kTableMagnitudeBound = kTableUnitsPerLevel * (kSimilarityLimit + kLargestLevel) / kCountPerSample;
static_assert(kTableMagnitudeBound - 1 <= 0xFFFF, "a table entry's magnitude fits the 16-bit corrections");

// Per cell, laid out as the blocks below take it: the magnitude of each
// shiftTable entry in byte order (blue, green, red, then 0 for alpha); the
// down bytes of the pixel that moves by the entry's sign (0xFF in the byte of
// each negative entry), and those of the pixel that moves the other way.
struct CellCorrection {
  std::uint16_t magnitude[4];
  std::uint32_t down;
  std::uint32_t reversed;
};
static_assert(sizeof(CellCorrection) == 16, "a cell's correction is copied in whole words");

// Positions corrected together: their draws and corrections are kept in
// small arrays that stay in the first-level cache.
constexpr std::int32_t kCorrectionBlock = 256;

// The inputs of the correction of one block, per colour byte of the pixels
// it corrects: with lines as rows, the even pixels' bytes come first and the
// odd pixels' bytes start at kOddBytes; with lines as columns, the pixels of
// each pair follow each other.
constexpr std::int32_t kOddBytes = 4 * kCorrectionBlock;
struct CorrectionBlock {
  std::uint16_t threshold[8 * kCorrectionBlock];
  std::uint16_t magnitude[8 * kCorrectionBlock];
  std::uint8_t down[8 * kCorrectionBlock];
  std::int32_t cell[kCorrectionBlock];
};

// The low 16 bits of generator jumps, enough for the thresholds (generator.h).
// along, at index e * kOddBytes + 4 * i + byte: the jump from the state
// before a block of positions along one pair to the draw for colour byte
// `byte` of the even (e = 0) or odd (e = 1) pixel of its position i.
// across, at index 4 * e + byte: the same from the state before one
// position. The alpha byte takes no draw; a jump to 0 gives it threshold 0.
struct DrawJumps {
  std::uint16_t alongMultiplier[8 * kCorrectionBlock];
  std::uint16_t alongIncrement[8 * kCorrectionBlock];
  std::uint16_t acrossMultiplier[8];
  std::uint16_t acrossIncrement[8];
};

// Lines as rows: the draws and corrections of `count` consecutive positions
// along one pair whose even pixels are even[0..count), from the (low 16 bits
// of the) state *state before them; leaves *state after their last draw.
void prepareRowBlock(const DrawJumps& jumps, const CellCorrection* corrections, std::uint16_t* state,
                     const Pixel* even, std::int32_t count, CorrectionBlock* block);
// Lines as columns: the draws and corrections of one position in each of
// `count` pairs, pair p at row[2p] and row[2p + 1] with its state chains[p];
// moves every chain on by one position.
void prepareColumnBlock(const DrawJumps& jumps, const CellCorrection* corrections, std::uint16_t* chains,
                        const Pixel* row, std::int32_t count, CorrectionBlock* block);

// Corrects `count` pixels from in to out (which may be in). For colour byte f, the half
// correction is halfLevels(magnitudes[f], thresholds[f]) (generator.h). The
// byte moves down by it where down[f] is 0xFF and up where it is 0, clamped
// to 0..255. The alpha byte becomes 0 (its magnitude must be 0). Magnitudes
// stay below kTableMagnitudeBound. Returns the sum of all half corrections.
std::uint32_t correctPixels(const Pixel* in, Pixel* out, const std::uint16_t* thresholds,
                            const std::uint16_t* magnitudes, const std::uint8_t* down, std::int32_t count);
