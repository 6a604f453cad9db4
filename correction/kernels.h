#pragma once

// The innermost loops of computeShift and performShift. Each comes in two
// builds that give the same results: a baseline one in plain C++ for any
// processor (kernels_baseline.cpp), and a wide vector one for processors
// with AVX2 (kernels_wide.cpp; see platform/wide_vectors.h). The stages call
// the build that wideVectorsInUse names.
//
// Pixels are taken in their storage byte order: blue, green, red, alpha.
// The "colour byte" f of a run of pixels is byte f % 4 of pixel f / 4.

#include <cstdint>

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

// Lines as rows: the triples a[k], b[k], c[k] for k < count (count at most
// kMeasureBlock). The baseline build measures from position `first` on.
void measureRowTriplesBaseline(const Pixel* a, const Pixel* b, const Pixel* c, std::int32_t first,
                               std::int32_t count, TripleMeasures* measures);
void measureRowTriplesWide(const Pixel* a, const Pixel* b, const Pixel* c, std::int32_t count,
                           TripleMeasures* measures);
// Lines as columns: the triples row[2k], row[2k + 1], row[2k + 2] for k < count.
void measureColumnTriplesBaseline(const Pixel* row, std::int32_t first, std::int32_t count,
                                  TripleMeasures* measures);
void measureColumnTriplesWide(const Pixel* row, std::int32_t count, TripleMeasures* measures);

// --- Application -----------------------------------------------------------

// Corrects `count` pixels from in to out. For colour byte f, the half
// correction is q = (magnitudes[f] >> 9) + 1 when (magnitudes[f] & 511) is
// greater than thresholds[f], else magnitudes[f] >> 9: ditherHalf's rounding
// of an entry of that magnitude. The byte moves down by q where down[f] is
// 0xFF and up by q where it is 0, clamped to 0..255. The alpha byte becomes
// 0 (its magnitude must be 0). Magnitudes stay below 51,840. Returns the sum
// of all q.
std::uint32_t correctPixelsBaseline(const Pixel* in, Pixel* out, const std::uint16_t* thresholds,
                                    const std::uint16_t* magnitudes, const std::uint8_t* down, std::int32_t count);
std::uint32_t correctPixelsWide(const Pixel* in, Pixel* out, const std::uint16_t* thresholds,
                                const std::uint16_t* magnitudes, const std::uint8_t* down, std::int32_t count);
