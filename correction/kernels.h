#pragma once

// The innermost loops of computeShift and performShift, one name each. Every
// kernel comes in two builds that give the same results: a baseline one in
// plain C++ for any processor (kernels_baseline.cpp), and a wide vector one
// for processors with AVX2 (kernels_wide.cpp; see platform/wide_vectors.h).
// kernels.cpp chooses between them, for every kernel in the same way.
//
// The kernels take pixels as the input file stores them
// (Image::readPixelBytes): pixelBytes (3 or 4) bytes each, blue, green, red
// and in 32-bit files alpha, which takes part nowhere. They may read up to
// kPixelBytesSlack bytes past the last pixel they are given. The corrections
// write the 3-byte pixels of the output file.

#include <cstddef>
#include <cstdint>

#include "correction/correction.h"
#include "correction/generator.h"
#include "image/image.h"

constexpr std::size_t kPixelBytesSlack = 32;

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

// Sums of one cell not yet moved into shiftSums and shiftCounts, by channel
// in pixel byte order (blue, green, red), and the samples.
struct PendingCell {
  std::int32_t sum[3];
  std::int32_t samples;
};

// What one call measures at each position k of a run of triples (outer
// pixels a and c, middle pixel b): where the sums of its cell lie in a set
// of pending sums, the byte offset sizeof(PendingCell) x the ColourCell of a,
// or x kNotASampleCell when b differs from a by more than the similarity
// limit, so that the additions need no multiplication; and 2b - a - c in
// blue, green and red, followed by 1, the sample the position counts for.
struct TripleMeasures {
  std::int32_t cellOffset[kMeasureBlock];
  std::int16_t contribution[kMeasureBlock][4];
};
static_assert(sizeof(PendingCell) == 16, "the wide kernels work out offsets of 16-byte cells");

// Lines as rows: the triples of pixels k of three rows a, b and c, for
// k < count (count at most kMeasureBlock).
void measureRowTriples(const unsigned char* a, const unsigned char* b, const unsigned char* c, unsigned pixelBytes,
                       std::int32_t count, TripleMeasures* measures);
// Lines as columns: the triples of pixels 2k, 2k + 1 and 2k + 2 of one row,
// for k < count.
void measureColumnTriples(const unsigned char* row, unsigned pixelBytes, std::int32_t count, TripleMeasures* measures);
// Adds the measures of `count` positions to the pending sums, to the two
// sets in an order in which runs of one colour do not make every addition
// wait for the one before (block_loops.h). Each set has kCellCount + 1 cells.
void addMeasures(const TripleMeasures& measures, std::int32_t count, PendingCell* first, PendingCell* second);

// --- Application -----------------------------------------------------------

// No shiftTable entry reaches this magnitude: a sample adds at most
// |b - a| + |b - c| <= kSimilarityLimit + kLargestLevel to its cell's sum in
// each channel and kCountPerSample to its count, and an entry is
// kTableUnitsPerLevel x sum / (count + 1). So a magnitude and its rounding
// offset (generator.h) fit 16 bits together.
constexpr std::int64_t kTableMagnitudeBound = kTableUnitsPerLevel * (kSimilarityLimit + kLargestLevel) / kCountPerSample;
static_assert(kTableMagnitudeBound - 1 + kRemainderBits <= 0xFFFF, "a table entry's magnitude fits the 16-bit corrections");

// Per cell, what the corrections need of its shiftTable entries: their
// magnitudes by colour byte (blue, green, red), and in downBits, bit `byte`
// set where the entry is negative, so that the even pixel's byte moves down
// and the odd pixel's up. The wide kernels read a cell's eight bytes at once.
struct CellRounding {
  std::uint16_t magnitude[3];
  std::uint16_t downBits;
};
static_assert(sizeof(CellRounding) == 8, "a cell's rounding is read in one 8-byte load");

// The low 16 bits of the generator jump of `steps` draws (enough for the
// rounding, generator.h); the jump of no draws for 0.
struct LowJump {
  std::uint16_t multiplier;
  std::uint16_t increment;
};
constexpr LowJump lowJumpOf(std::uint64_t steps) {
  const GeneratorJump jump = generatorJump(steps);
  return {static_cast<std::uint16_t>(jump.multiplier), static_cast<std::uint16_t>(jump.increment)};
}
constexpr std::uint16_t lowStateAfter(LowJump jump, std::uint16_t state) {
  return static_cast<std::uint16_t>(static_cast<unsigned>(jump.multiplier) * state + jump.increment);
}

// Lines as rows: corrects `count` positions of one pair of rows, from the
// generator state `state` before the pair's first draw: position j takes
// draws 6j + 1 to 6j + 6 after it. Writes the even and odd rows' output
// pixels and returns the sum of the half corrections.
std::uint64_t correctRowPair(const CellRounding* cells, std::uint32_t state, const unsigned char* even,
                             const unsigned char* odd, unsigned pixelBytes, unsigned char* evenOut,
                             unsigned char* oddOut, std::int32_t count);

// Lines as columns: corrects one storage row of `width` pixels, in which
// pixels 2p and 2p + 1 are the even and odd pixel of pair p. chains[p] holds
// the low 16 bits of the generator state before the pair's draws at this row
// and moves on by one position (six draws). The last pixel of an odd width
// belongs to no pair and is copied. Returns the sum of the half corrections.
std::uint64_t correctColumnRow(const CellRounding* cells, std::uint16_t* chains, const unsigned char* row,
                               unsigned pixelBytes, unsigned char* out, std::int32_t width);

// The output pixels of `count` pixels that no pair corrects.
void copyPixelBytes(const unsigned char* pixels, unsigned pixelBytes, unsigned char* out, std::int32_t count);
