// The wide vector build of the innermost loops (kernels.h), written with
// AVX2 intrinsics: eight pixels at a time, colour bytes corrected with
// saturating byte arithmetic, which clamps to 0..255 by itself.

#include "correction/block_loops.h"
#include "correction/kernel_builds.h"
#include "platform/wide_vectors.h"

#if LOMVERA_HAS_WIDE_VECTOR_CODE

#include <immintrin.h>

namespace {

constexpr std::int32_t kPixelsPerVector = 8;

LOMVERA_WIDE_VECTOR_CODE inline __m256i load(const void* from) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(from));
}

LOMVERA_WIDE_VECTOR_CODE inline void store(void* to, __m256i value) {
  _mm256_storeu_si256(static_cast<__m256i*>(to), value);
}

// Measures eight triples whose pixels are the lanes of a, b and c, for the
// positions from `first` on.
LOMVERA_WIDE_VECTOR_CODE inline void measureEight(__m256i a, __m256i b, __m256i c, std::int32_t first,
                                                  TripleMeasures* measures) {
  const __m256i colours = _mm256_set1_epi32(0x00FFFFFF);
  const __m256i zero = _mm256_setzero_si256();
  a = _mm256_and_si256(a, colours);
  b = _mm256_and_si256(b, colours);
  c = _mm256_and_si256(c, colours);

  // The cell is colourCellOf(a) (correction.h), lane by lane.
  // Sum of the three channel differences |b - a| of each pixel.
  const __m256i byteDifferences = _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a));
  const __m256i pairSums = _mm256_maddubs_epi16(byteDifferences, _mm256_set1_epi8(1));
  const __m256i difference = _mm256_madd_epi16(pairSums, _mm256_set1_epi16(1));
  const __m256i isSample = _mm256_cmpgt_epi32(_mm256_set1_epi32(kSimilarityLimit + 1), difference);

  const __m256i cell = _mm256_or_si256(
      _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(a, 9), _mm256_set1_epi32(kCellRedBits)),
                      _mm256_and_si256(_mm256_srli_epi32(a, 6), _mm256_set1_epi32(kCellGreenBits))),
      _mm256_and_si256(_mm256_srli_epi32(a, 3), _mm256_set1_epi32(kCellBlueBits)));
  store(measures->cell + first, _mm256_blendv_epi8(_mm256_set1_epi32(kNotASampleCell), cell, isSample));

  // 2b - a - c per byte in 16 bits; the alpha lane, 0 after the masking,
  // becomes the 1 of the sample count. Unpacking takes pixels 0, 1, 4, 5 to
  // the low half and 2, 3, 6, 7 to the high half.
  const __m256i sampleOne = _mm256_set1_epi64x(std::int64_t{1} << 48);
  const __m256i low = _mm256_or_si256(
      _mm256_sub_epi16(_mm256_sub_epi16(_mm256_slli_epi16(_mm256_unpacklo_epi8(b, zero), 1),
                                        _mm256_unpacklo_epi8(a, zero)),
                       _mm256_unpacklo_epi8(c, zero)),
      sampleOne);
  const __m256i high = _mm256_or_si256(
      _mm256_sub_epi16(_mm256_sub_epi16(_mm256_slli_epi16(_mm256_unpackhi_epi8(b, zero), 1),
                                        _mm256_unpackhi_epi8(a, zero)),
                       _mm256_unpackhi_epi8(c, zero)),
      sampleOne);
  store(measures->contribution[first], _mm256_permute2x128_si256(low, high, 0x20));
  store(measures->contribution[first + 4], _mm256_permute2x128_si256(low, high, 0x31));
}

// The thresholds of one position in each of `count` pairs, two pairs to a
// vector: the eight jumps across one position applied to each pair's state
// in 16-bit lanes (block_loops::drawAcrossPairs does the same one by one).
LOMVERA_WIDE_VECTOR_CODE void drawAcrossPairsWide(const DrawJumps& jumps, std::uint16_t* chains, std::int32_t count,
                                                  CorrectionBlock* block) {
  const __m256i multiplier = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(jumps.acrossMultiplier)));
  const __m256i increment = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(jumps.acrossIncrement)));
  const __m256i remainderBits = _mm256_set1_epi16(kRemainderBits);
  std::int32_t p = 0;
  for (; p + 2 <= count; p += 2) {
    const __m256i states = _mm256_set_m128i(_mm_set1_epi16(static_cast<short>(chains[p + 1])),
                                            _mm_set1_epi16(static_cast<short>(chains[p])));
    const __m256i drawn = _mm256_add_epi16(_mm256_mullo_epi16(multiplier, states), increment);
    store(block->threshold + 8 * p, _mm256_and_si256(_mm256_srli_epi16(drawn, kThresholdShift), remainderBits));
  }
  for (; p < count; ++p) {
    for (int f = 0; f < 8; ++f)
      block->threshold[8 * p + f] =
          block_loops::lowThresholdOf(block_loops::lowStateAfter(jumps.acrossMultiplier[f], jumps.acrossIncrement[f], chains[p]));
  }
  // Six draws: as far as the even pixel's blue byte.
  const std::uint16_t stepMultiplier = jumps.acrossMultiplier[0];
  const std::uint16_t stepIncrement = jumps.acrossIncrement[0];
  for (p = 0; p < count; ++p) chains[p] = block_loops::lowStateAfter(stepMultiplier, stepIncrement, chains[p]);
}

}  // namespace

LOMVERA_DEFINE_BLOCK_LOOPS(Wide, LOMVERA_WIDE_VECTOR_CODE)

LOMVERA_WIDE_VECTOR_CODE void measureRowTriplesWide(const Pixel* a, const Pixel* b, const Pixel* c,
                                                    std::int32_t count, TripleMeasures* measures) {
  std::int32_t k = 0;
  for (; k + kPixelsPerVector <= count; k += kPixelsPerVector)
    measureEight(load(a + k), load(b + k), load(c + k), k, measures);
  measureRowTriplesBaseline(a, b, c, k, count, measures);
}

LOMVERA_WIDE_VECTOR_CODE void measureColumnTriplesWide(const Pixel* row, std::int32_t count,
                                                       TripleMeasures* measures) {
  // Pixels 2k of the row are the outer pixels a, 2k + 1 the middle ones;
  // the c of position k is the a of position k + 1.
  const __m256i evensThenOdds = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256i nextLane = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 7);
  std::int32_t k = 0;
  for (; k + kPixelsPerVector <= count; k += kPixelsPerVector) {
    const Pixel* at = row + 2 * k;
    const __m256i first = _mm256_permutevar8x32_epi32(load(at), evensThenOdds);
    const __m256i second = _mm256_permutevar8x32_epi32(load(at + 8), evensThenOdds);
    const __m256i a = _mm256_permute2x128_si256(first, second, 0x20);
    const __m256i b = _mm256_permute2x128_si256(first, second, 0x31);
    const __m256i c = _mm256_insert_epi32(_mm256_permutevar8x32_epi32(a, nextLane), static_cast<int>(at[16]), 7);
    measureEight(a, b, c, k, measures);
  }
  measureColumnTriplesBaseline(row, k, count, measures);
}

LOMVERA_WIDE_VECTOR_CODE std::uint32_t correctPixelsWide(const Pixel* in, Pixel* out,
                                                         const std::uint16_t* thresholds,
                                                         const std::uint16_t* magnitudes, const std::uint8_t* down,
                                                         std::int32_t count) {
  const __m256i remainderBits = _mm256_set1_epi16(kRemainderBits);
  const __m256i colours = _mm256_set1_epi32(0x00FFFFFF);
  const __m256i zero = _mm256_setzero_si256();
  __m256i sums = zero;
  std::int32_t i = 0;
  for (; i + kPixelsPerVector <= count; i += kPixelsPerVector) {
    // halfLevels (generator.h) in 16 bits for pixels i to i + 3 and i + 4 to
    // i + 7: the whole part, plus one where the remainder exceeds the
    // threshold (the compare gives -1 there).
    const __m256i magnitudeLow = load(magnitudes + 4 * i);
    const __m256i magnitudeHigh = load(magnitudes + 4 * i + 16);
    const __m256i halfLow = _mm256_sub_epi16(
        _mm256_srli_epi16(magnitudeLow, kWholeLevelShift),
        _mm256_cmpgt_epi16(_mm256_and_si256(magnitudeLow, remainderBits), load(thresholds + 4 * i)));
    const __m256i halfHigh = _mm256_sub_epi16(
        _mm256_srli_epi16(magnitudeHigh, kWholeLevelShift),
        _mm256_cmpgt_epi16(_mm256_and_si256(magnitudeHigh, remainderBits), load(thresholds + 4 * i + 16)));
    // Packing works per 128-bit lane; the permutation puts the pixels back in order.
    const __m256i halves = _mm256_permute4x64_epi64(_mm256_packus_epi16(halfLow, halfHigh), 0xD8);
    const __m256i downward = load(down + 4 * i);
    const __m256i raised = _mm256_adds_epu8(load(in + i), _mm256_andnot_si256(downward, halves));
    const __m256i moved = _mm256_subs_epu8(raised, _mm256_and_si256(downward, halves));
    store(out + i, _mm256_and_si256(moved, colours));
    sums = _mm256_add_epi64(sums, _mm256_sad_epu8(halves, zero));
  }
  const __m128i pairs = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
  std::uint64_t total = static_cast<std::uint64_t>(_mm_cvtsi128_si64(pairs)) +
                        static_cast<std::uint64_t>(_mm_extract_epi64(pairs, 1));
  if (i < count) {
    total += correctPixelsBaseline(in + i, out + i, thresholds + 4 * i, magnitudes + 4 * i, down + 4 * i, count - i);
  }
  return static_cast<std::uint32_t>(total);
}

#else

// Without the wide build the stages never ask for it; these keep the program whole.
namespace {
void drawAcrossPairsWide(const DrawJumps& jumps, std::uint16_t* chains, std::int32_t count, CorrectionBlock* block) {
  block_loops::drawAcrossPairs(jumps, chains, count, block);
}
}  // namespace
LOMVERA_DEFINE_BLOCK_LOOPS(Wide, )

void measureRowTriplesWide(const Pixel* a, const Pixel* b, const Pixel* c, std::int32_t count,
                           TripleMeasures* measures) {
  measureRowTriplesBaseline(a, b, c, 0, count, measures);
}

void measureColumnTriplesWide(const Pixel* row, std::int32_t count, TripleMeasures* measures) {
  measureColumnTriplesBaseline(row, 0, count, measures);
}

std::uint32_t correctPixelsWide(const Pixel* in, Pixel* out, const std::uint16_t* thresholds,
                                const std::uint16_t* magnitudes, const std::uint8_t* down, std::int32_t count) {
  return correctPixelsBaseline(in, out, thresholds, magnitudes, down, count);
}

#endif
