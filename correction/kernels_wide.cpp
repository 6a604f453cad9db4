// The wide vector build of the innermost loops (kernels.h), written with
// AVX2 intrinsics: eight pixels at a time, taken straight from the file's
// bytes, colour bytes corrected with saturating byte arithmetic, which clamps
// to 0..255 by itself, and the output pixels stored as the file takes them.

#include <algorithm>

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

// Eight pixels of file bytes as 32-bit lanes, alpha kept (0 for 3-byte
// pixels). Three-byte pixels come four to a 16-byte load, the second load
// reaching 4 bytes past the eighth pixel.
template <unsigned kPixelBytes>
LOMVERA_WIDE_VECTOR_CODE inline __m256i loadEight(const unsigned char* pixels) {
  if (kPixelBytes == 4) return load(pixels);
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 12));
  return _mm256_shuffle_epi8(_mm256_set_m128i(high, low), spread);
}

// Stores the colour bytes of eight pixels as 24 bytes: each half packs its
// four pixels into 12 bytes, which the permutation puts together.
LOMVERA_WIDE_VECTOR_CODE inline void storeEightColours(unsigned char* out, __m256i pixels) {
  const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i packed =
      _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(pixels, pack), _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
}

// Eight times colourCellOf (correction.h) of eight pixels: with the colour
// bits of the cell kept in place (kCellBitsOfBytes), two multiply-adds give
// blue + 32 x green + 1024 x red, first (blue + 32 green) and 4 red in 16
// bits, then 4 red x 256 added.
LOMVERA_WIDE_VECTOR_CODE inline __m256i eightfoldCellsOf(__m256i pixels) {
  const __m256i bits = _mm256_and_si256(pixels, _mm256_set1_epi32(static_cast<int>(kCellBitsOfBytes)));
  const __m256i pairs = _mm256_maddubs_epi16(bits, _mm256_set1_epi32(0x00042001));
  return _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x01000001));
}

// --- Statistics ------------------------------------------------------------

// Measures eight triples whose pixels are the lanes of a, b and c, for the
// positions from `first` on.
template <unsigned kPixelBytes>
LOMVERA_WIDE_VECTOR_CODE inline void measureEight(__m256i a, __m256i b, __m256i c, std::int32_t first,
                                                  TripleMeasures* measures) {
  if (kPixelBytes == 4) {
    const __m256i colours = _mm256_set1_epi32(0x00FFFFFF);
    a = _mm256_and_si256(a, colours);
    b = _mm256_and_si256(b, colours);
  }

  // Sum of the three channel differences |b - a| of each pixel.
  const __m256i byteDifferences = _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a));
  const __m256i pairSums = _mm256_maddubs_epi16(byteDifferences, _mm256_set1_epi8(1));
  const __m256i difference = _mm256_madd_epi16(pairSums, _mm256_set1_epi16(1));
  const __m256i isSample = _mm256_cmpgt_epi32(_mm256_set1_epi32(kSimilarityLimit + 1), difference);
  const __m256i cellOffsets = _mm256_slli_epi32(eightfoldCellsOf(a), 1);  // 16-byte cells
  const __m256i notASample = _mm256_set1_epi32(kNotASampleCell * static_cast<int>(sizeof(PendingCell)));
  store(measures->cellOffset + first, _mm256_blendv_epi8(notASample, cellOffsets, isSample));

  // 2b - a - c per byte in 16 bits: each b byte beside its a byte, multiplied
  // by 2 and -1 and added, less the c byte. The c byte of the alpha lane
  // becomes -1 (0xFF beside 0xFF), so that the lane gives the 1 of the
  // sample count. Unpacking takes pixels 0, 1, 4, 5 to the low half and 2, 3,
  // 6, 7 to the high half.
  const __m256i twiceLessOnce = _mm256_set1_epi16(static_cast<short>(0xFF02));
  const __m256i alphaBytes = _mm256_set1_epi32(static_cast<int>(0xFF000000));
  c = _mm256_or_si256(c, alphaBytes);
  const __m256i low = _mm256_sub_epi16(_mm256_maddubs_epi16(_mm256_unpacklo_epi8(b, a), twiceLessOnce),
                                       _mm256_unpacklo_epi8(c, alphaBytes));
  const __m256i high = _mm256_sub_epi16(_mm256_maddubs_epi16(_mm256_unpackhi_epi8(b, a), twiceLessOnce),
                                        _mm256_unpackhi_epi8(c, alphaBytes));
  store(measures->contribution[first], _mm256_permute2x128_si256(low, high, 0x20));
  store(measures->contribution[first + 4], _mm256_permute2x128_si256(low, high, 0x31));
}

template <unsigned kPixelBytes>
LOMVERA_WIDE_VECTOR_CODE void measureRowTriplesOf(const unsigned char* a, const unsigned char* b,
                                                  const unsigned char* c, std::int32_t count,
                                                  TripleMeasures* measures) {
  std::int32_t k = 0;
  for (; k + kPixelsPerVector <= count; k += kPixelsPerVector) {
    const std::size_t at = static_cast<std::size_t>(k) * kPixelBytes;
    measureEight<kPixelBytes>(loadEight<kPixelBytes>(a + at), loadEight<kPixelBytes>(b + at),
                              loadEight<kPixelBytes>(c + at), k, measures);
  }
  block_loops::measureRowTriples(a, b, c, kPixelBytes, k, count, measures);
}

// Pixels 2k of the row are the outer pixels a, 2k + 1 the middle ones; the c
// of position k is the a of position k + 1.
template <unsigned kPixelBytes>
LOMVERA_WIDE_VECTOR_CODE void measureColumnTriplesOf(const unsigned char* row, std::int32_t count,
                                                     TripleMeasures* measures) {
  const __m256i evensThenOdds = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256i nextLane = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 7);
  std::int32_t k = 0;
  for (; k + kPixelsPerVector <= count; k += kPixelsPerVector) {
    const unsigned char* at = row + 2 * static_cast<std::size_t>(k) * kPixelBytes;
    const __m256i first = _mm256_permutevar8x32_epi32(loadEight<kPixelBytes>(at), evensThenOdds);
    const __m256i second = _mm256_permutevar8x32_epi32(loadEight<kPixelBytes>(at + 8 * kPixelBytes), evensThenOdds);
    const __m256i a = _mm256_permute2x128_si256(first, second, 0x20);
    const __m256i b = _mm256_permute2x128_si256(first, second, 0x31);
    const __m256i c = _mm256_insert_epi32(_mm256_permutevar8x32_epi32(a, nextLane),
                                          static_cast<int>(block_loops::pixelAt(at, kPixelBytes, 16)), 7);
    measureEight<kPixelBytes>(a, b, c, k, measures);
  }
  block_loops::measureColumnTriples(row, kPixelBytes, k, count, measures);
}

// --- Application -----------------------------------------------------------
//
// A group of eight pixels is corrected in 16-bit lanes, one lane per byte,
// four lanes per pixel: the pixels 0, 1, 4, 5 of the group in one vector and
// 2, 3, 6, 7 in another, the order in which packing the lanes back to bytes
// puts them in place. Each colour lane holds four times the complement of
// the generator state (its low 16 bits) of the draw that rounds its byte: so
// the top nine bits of the lane are bits 5 to 13 of the complemented state,
// the draw's rounding offset (generator.h), one shift away. An alpha lane
// holds 0, whose offset 0 leaves the alpha byte, of magnitude 0, unmoved.

constexpr int kLanes = 16;
constexpr int kOffsetShift = kThresholdShift + 2;  // of four times the complemented state
// The pixel of the group in each four lanes of the two vectors.
constexpr int kPixelOfLanes[2][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}};

// The lanes are affine in a state: the draw of jump (J, C) from state s is
// x = J s + C, and four times its complement -4 (x + 1) = -4J s - 4 (C + 1).
// Carried on by a jump (A, B) of every lane alike, a lane q = -4 (x + 1)
// becomes -4 (A x + B + 1) = A q + 4 (A - 1 - B).
struct LaneJumps {
  std::uint16_t multiplier[kLanes]{};
  std::uint16_t increment[kLanes]{};
};
constexpr void setLaneFromState(LaneJumps* lanes, int lane, std::uint64_t draws) {
  const LowJump jump = lowJumpOf(draws);
  lanes->multiplier[lane] = static_cast<std::uint16_t>(0u - 4u * jump.multiplier);
  lanes->increment[lane] = static_cast<std::uint16_t>(0u - 4u * (jump.increment + 1u));
}
constexpr LaneJumps laneStep(std::uint64_t steps) {
  LaneJumps step;
  const LowJump jump = lowJumpOf(steps);
  for (int lane = 0; lane < kLanes; ++lane) {
    if (lane % 4 == 3) continue;
    step.multiplier[lane] = jump.multiplier;
    step.increment[lane] = static_cast<std::uint16_t>(4u * (jump.multiplier - 1u - jump.increment));
  }
  return step;
}
// The lanes of `first` carried on by `then`.
constexpr LaneJumps followedBy(const LaneJumps& first, const LaneJumps& then) {
  LaneJumps lanes;
  for (int lane = 0; lane < kLanes; ++lane) {
    const unsigned multiplier = then.multiplier[lane];
    lanes.multiplier[lane] = static_cast<std::uint16_t>(multiplier * first.multiplier[lane]);
    lanes.increment[lane] = static_cast<std::uint16_t>(multiplier * first.increment[lane] + then.increment[lane]);
  }
  return lanes;
}

// Whether each colour lane of `lanes`, taken from a state s, gives the
// rounding offset of the draw `ahead` + drawOfLane(vector, lane) steps after
// s, and each alpha lane 0. A lane and the state of its draw are both affine
// in s, so a lane that holds four times the complemented state at s = 0 and
// s = 1 holds it at every s; its top bits are then the offset.
constexpr bool lanesGiveOffsets(const LaneJumps& lanes, std::uint64_t (*drawOfLane)(int, int), int vector,
                                std::uint64_t ahead) {
  for (int lane = 0; lane < kLanes; ++lane) {
    for (unsigned s = 0; s < 2; ++s) {
      const auto value = static_cast<std::uint16_t>(lanes.multiplier[lane] * s + lanes.increment[lane]);
      const std::uint16_t state =
          lowStateAfter(lowJumpOf(ahead + drawOfLane(vector, lane)), static_cast<std::uint16_t>(s));
      const bool holdsOffset = value == static_cast<std::uint16_t>(4u * static_cast<std::uint16_t>(~state)) &&
                               value >> kOffsetShift == roundingOffsetOfLowState(state);
      if (lane % 4 == 3 ? value != 0 : !holdsOffset) return false;
    }
  }
  return true;
}

// Lines as rows: the group is eight positions along a pair. The lanes of the
// even pixels ([0] and [1]) and the odd pixels ([2] and [3]) from the state
// before the group, and the step from one group to the next.
struct RowLanes {
  LaneJumps fromGroupStart[4];
  LaneJumps toNextGroup;
};
constexpr std::uint64_t rowLaneDraw(int vector, int lane) {
  return drawOfByte(static_cast<std::uint64_t>(kPixelOfLanes[vector % 2][lane / 4]), vector / 2, lane % 4);
}
constexpr RowLanes rowLanes() {
  RowLanes lanes;
  for (int v = 0; v < 4; ++v) {
    for (int lane = 0; lane < kLanes; ++lane) {
      if (lane % 4 != 3) setLaneFromState(&lanes.fromGroupStart[v], lane, rowLaneDraw(v, lane));
    }
  }
  lanes.toNextGroup = laneStep(static_cast<std::uint64_t>(kDrawsPerPosition) * kPixelsPerVector);
  return lanes;
}
constexpr RowLanes kRowLanes = rowLanes();
// Lines as columns: the group is four pairs of one row, each vector two of
// them, even pixel then odd pixel. The lanes from the states of the pairs.
constexpr std::uint64_t columnLaneDraw(int, int lane) { return drawOfByte(0, (lane / 4) % 2, lane % 4); }
constexpr LaneJumps columnLanes() {
  LaneJumps lanes;
  for (int lane = 0; lane < kLanes; ++lane) {
    if (lane % 4 != 3) setLaneFromState(&lanes, lane, columnLaneDraw(0, lane));
  }
  return lanes;
}
constexpr LaneJumps kColumnLanes = columnLanes();
// Every lane of every table: the row lanes in a group and, carried on by the
// step, in the next one, and the column lanes.
constexpr bool everyLaneGivesItsOffset() {
  bool all = lanesGiveOffsets(kColumnLanes, columnLaneDraw, 0, 0);
  for (int v = 0; v < 4; ++v) {
    all = all && lanesGiveOffsets(kRowLanes.fromGroupStart[v], rowLaneDraw, v, 0) &&
          lanesGiveOffsets(followedBy(kRowLanes.fromGroupStart[v], kRowLanes.toNextGroup), rowLaneDraw, v,
                           std::uint64_t{kDrawsPerPosition} * kPixelsPerVector);
  }
  return all;
}
static_assert(everyLaneGivesItsOffset(), "each lane gives the rounding offset of its draw");
constexpr LowJump kPositionJump = lowJumpOf(kDrawsPerPosition);

LOMVERA_WIDE_VECTOR_CODE inline __m256i laneStates(const LaneJumps& jumps, __m256i states) {
  return _mm256_add_epi16(_mm256_mullo_epi16(load(jumps.multiplier), states), load(jumps.increment));
}

LOMVERA_WIDE_VECTOR_CODE inline __m256i steppedStates(__m256i multiplier, __m256i increment, __m256i states) {
  return _mm256_add_epi16(_mm256_mullo_epi16(states, multiplier), increment);
}

// halfLevelsIn16Bits (generator.h) of each lane's magnitude, with the
// rounding offset of its lane.
LOMVERA_WIDE_VECTOR_CODE inline __m256i halvesOf(__m256i magnitudes, __m256i lanes) {
  return _mm256_srli_epi16(_mm256_add_epi16(magnitudes, _mm256_srli_epi16(lanes, kOffsetShift)), kWholeLevelShift);
}

// The CellRoundings at the byte offsets 8 x cell of four pixels, one load
// each. (A gather instruction is no quicker here, and keeps the register it
// fills from one group to the next, so that each group waits for the one
// before.)
LOMVERA_WIDE_VECTOR_CODE inline __m256i roundingsAt(const CellRounding* cells, __m128i offsets) {
  alignas(16) std::int32_t at[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(at), offsets);
  const auto* bytes = reinterpret_cast<const unsigned char*>(cells);
  long long rounding[4];
  for (int k = 0; k < 4; ++k) std::memcpy(&rounding[k], bytes + at[k], sizeof rounding[k]);
  return _mm256_setr_epi64x(rounding[0], rounding[1], rounding[2], rounding[3]);
}

// The same for the pixels of the two halves of `offsets`.
LOMVERA_WIDE_VECTOR_CODE inline void gatherRoundings(const CellRounding* cells, __m256i offsets, __m256i* first,
                                                     __m256i* second) {
  *first = roundingsAt(cells, _mm256_castsi256_si128(offsets));
  *second = roundingsAt(cells, _mm256_extracti128_si256(offsets, 1));
}

// 0xFF in each colour byte of the eight pixels whose entry is negative, from
// the downBits in the alpha lanes of the two vectors of roundings.
LOMVERA_WIDE_VECTOR_CODE inline __m256i downBytesOf(__m256i first, __m256i second) {
  const __m256i downBitsToEveryByte = _mm256_setr_epi8(3, 3, 3, 3, 7, 7, 7, 7, 11, 11, 11, 11, 15, 15, 15, 15,  //
                                                       3, 3, 3, 3, 7, 7, 7, 7, 11, 11, 11, 11, 15, 15, 15, 15);
  const __m256i bitOfByte = _mm256_set1_epi32(0x08040201);  // never set in the alpha byte
  const __m256i spread = _mm256_shuffle_epi8(_mm256_packus_epi16(first, second), downBitsToEveryByte);
  return _mm256_cmpeq_epi8(_mm256_and_si256(spread, bitOfByte), bitOfByte);
}

// Moves each byte of `pixels` down by its half where `down` is 0xFF and up
// where it is 0, clamped to 0..255.
LOMVERA_WIDE_VECTOR_CODE inline __m256i moved(__m256i pixels, __m256i halves, __m256i down) {
  return _mm256_subs_epu8(_mm256_adds_epu8(pixels, _mm256_andnot_si256(down, halves)), _mm256_and_si256(down, halves));
}

LOMVERA_WIDE_VECTOR_CODE inline std::uint64_t sumOf(__m256i sums) {
  const __m128i pairs = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(pairs)) + static_cast<std::uint64_t>(_mm_extract_epi64(pairs, 1));
}

// 0xFF in every byte of the pixels below `count` of a group.
LOMVERA_WIDE_VECTOR_CODE inline __m256i pixelsBelow(std::int32_t count) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Lines as rows: one group of eight positions, the states of its lanes in
// states[0..3], whose corrections are kept only for the positions below
// `kept`. Adds the halves to *sums.
template <unsigned kPixelBytes>
LOMVERA_WIDE_VECTOR_CODE inline void correctRowGroup(const CellRounding* cells, const __m256i* states,
                                                     const unsigned char* even, const unsigned char* odd,
                                                     unsigned char* evenOut, unsigned char* oddOut, __m256i kept,
                                                     __m256i* sums) {
  const __m256i evenPixels = loadEight<kPixelBytes>(even);
  const __m256i oddPixels = loadEight<kPixelBytes>(odd);
  const __m256i offsets =
      _mm256_permutevar8x32_epi32(eightfoldCellsOf(evenPixels), _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
  __m256i first, second;
  gatherRoundings(cells, offsets, &first, &second);
  const __m256i evenHalves =
      _mm256_and_si256(_mm256_packus_epi16(halvesOf(first, states[0]), halvesOf(second, states[1])), kept);
  const __m256i oddHalves =
      _mm256_and_si256(_mm256_packus_epi16(halvesOf(first, states[2]), halvesOf(second, states[3])), kept);
  const __m256i down = downBytesOf(first, second);
  storeEightColours(evenOut, moved(evenPixels, evenHalves, down));
  storeEightColours(oddOut, moved(oddPixels, oddHalves, _mm256_xor_si256(down, _mm256_set1_epi32(-1))));
  // Each half is at most 102 (kTableMagnitudeBound), so two fit a byte.
  *sums = _mm256_add_epi64(*sums, _mm256_sad_epu8(_mm256_add_epi8(evenHalves, oddHalves), _mm256_setzero_si256()));
}

template <unsigned kPixelBytes>
LOMVERA_WIDE_VECTOR_CODE std::uint64_t correctRowPairOf(const CellRounding* cells, std::uint32_t state,
                                                        const unsigned char* even, const unsigned char* odd,
                                                        unsigned char* evenOut, unsigned char* oddOut,
                                                        std::int32_t count) {
  const __m256i start = _mm256_set1_epi16(static_cast<short>(state));
  __m256i states[4];
  for (int v = 0; v < 4; ++v) states[v] = laneStates(kRowLanes.fromGroupStart[v], start);
  const __m256i stepMultiplier = load(kRowLanes.toNextGroup.multiplier);
  const __m256i stepIncrement = load(kRowLanes.toNextGroup.increment);
  const __m256i all = _mm256_set1_epi32(-1);
  __m256i sums = _mm256_setzero_si256();
  std::int32_t i = 0;
  for (; i + kPixelsPerVector <= count; i += kPixelsPerVector) {
    const std::size_t in = static_cast<std::size_t>(i) * kPixelBytes;
    const std::size_t out = static_cast<std::size_t>(i) * 3;
    correctRowGroup<kPixelBytes>(cells, states, even + in, odd + in, evenOut + out, oddOut + out, all, &sums);
    for (__m256i& lanes : states) lanes = steppedStates(stepMultiplier, stepIncrement, lanes);
  }
  if (i < count) {
    // The last few positions, through copies large enough for a group.
    const std::size_t n = static_cast<std::size_t>(count - i);
    unsigned char in[2][kPixelsPerVector * 4 + kPixelBytesSlack] = {};
    unsigned char out[2][kPixelsPerVector * 3 + kPixelBytesSlack];
    std::memcpy(in[0], even + static_cast<std::size_t>(i) * kPixelBytes, n * kPixelBytes);
    std::memcpy(in[1], odd + static_cast<std::size_t>(i) * kPixelBytes, n * kPixelBytes);
    correctRowGroup<kPixelBytes>(cells, states, in[0], in[1], out[0], out[1], pixelsBelow(count - i), &sums);
    std::memcpy(evenOut + static_cast<std::size_t>(i) * 3, out[0], n * 3);
    std::memcpy(oddOut + static_cast<std::size_t>(i) * 3, out[1], n * 3);
  }
  return sumOf(sums);
}

// Lines as columns: one group of eight pixels of a row, four pairs, whose
// corrections are kept only for the pixels below `kept`, with the states of
// the pairs in chains[0..3], which move on by one row. Adds the halves to
// *sums.
template <unsigned kPixelBytes>
LOMVERA_WIDE_VECTOR_CODE inline void correctColumnGroup(const CellRounding* cells, std::uint16_t* chains,
                                                        const unsigned char* row, unsigned char* out, __m256i kept,
                                                        __m256i* sums) {
  const __m256i pixels = loadEight<kPixelBytes>(row);
  // Each pair's cell is that of its even pixel: the roundings of pixels 0,
  // 2, 4 and 6, spread as 0, 0, 4, 4 and 2, 2, 6, 6.
  const __m256i evenOffsets =
      _mm256_permutevar8x32_epi32(eightfoldCellsOf(pixels), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
  const __m256i roundings = roundingsAt(cells, _mm256_castsi256_si128(evenOffsets));
  const __m256i first = _mm256_permute4x64_epi64(roundings, 0xA0);   // 0, 0, 2, 2
  const __m256i second = _mm256_permute4x64_epi64(roundings, 0xF5);  // 1, 1, 3, 3
  // The four states, each spread over the eight lanes of its pair.
  long long fourChains;
  std::memcpy(&fourChains, chains, sizeof fourChains);
  const __m256i allChains = _mm256_set1_epi64x(fourChains);
  const __m256i firstChains = _mm256_shuffle_epi8(
      allChains,
      _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 4, 5, 4, 5, 4, 5, 4, 5, 4, 5, 4, 5, 4, 5, 4, 5));
  const __m256i secondChains = _mm256_shuffle_epi8(
      allChains,
      _mm256_setr_epi8(2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 6, 7, 6, 7, 6, 7, 6, 7, 6, 7, 6, 7, 6, 7, 6, 7));
  const __m256i halves = _mm256_and_si256(_mm256_packus_epi16(halvesOf(first, laneStates(kColumnLanes, firstChains)),
                                                              halvesOf(second, laneStates(kColumnLanes, secondChains))),
                                          kept);
  // The odd pixel of each pair moves the other way.
  const __m256i down = _mm256_xor_si256(downBytesOf(first, second), _mm256_setr_epi32(0, -1, 0, -1, 0, -1, 0, -1));
  storeEightColours(out, moved(pixels, halves, down));
  *sums = _mm256_add_epi64(*sums, _mm256_sad_epu8(halves, _mm256_setzero_si256()));
  const __m128i stepped = _mm_add_epi16(
      _mm_mullo_epi16(_mm_cvtsi64_si128(fourChains), _mm_set1_epi16(static_cast<short>(kPositionJump.multiplier))),
      _mm_set1_epi16(static_cast<short>(kPositionJump.increment)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(chains), stepped);
}

template <unsigned kPixelBytes>
LOMVERA_WIDE_VECTOR_CODE std::uint64_t correctColumnRowOf(const CellRounding* cells, std::uint16_t* chains,
                                                          const unsigned char* row, unsigned char* out,
                                                          std::int32_t width) {
  const __m256i all = _mm256_set1_epi32(-1);
  __m256i sums = _mm256_setzero_si256();
  std::int32_t x = 0;
  // A group is whole when its eight pixels are four pairs.
  for (; x + kPixelsPerVector <= width - width % 2; x += kPixelsPerVector) {
    correctColumnGroup<kPixelBytes>(cells, chains + x / 2, row + static_cast<std::size_t>(x) * kPixelBytes,
                                    out + static_cast<std::size_t>(x) * 3, all, &sums);
  }
  if (x < width) {
    // The last pairs, and the pixel of an odd width that belongs to none,
    // through copies large enough for a group.
    const std::size_t n = static_cast<std::size_t>(width - x);
    const std::size_t pairs = n / 2;
    unsigned char in[kPixelsPerVector * 4 + kPixelBytesSlack] = {};
    unsigned char corrected[kPixelsPerVector * 3 + kPixelBytesSlack];
    std::uint16_t lastChains[4] = {};
    std::memcpy(in, row + static_cast<std::size_t>(x) * kPixelBytes, n * kPixelBytes);
    std::copy(chains + x / 2, chains + x / 2 + pairs, lastChains);  // a row of one pixel has no chains
    correctColumnGroup<kPixelBytes>(cells, lastChains, in, corrected, pixelsBelow(static_cast<std::int32_t>(2 * pairs)),
                                    &sums);
    std::memcpy(out + static_cast<std::size_t>(x) * 3, corrected, n * 3);
    std::copy(lastChains, lastChains + pairs, chains + x / 2);
  }
  return sumOf(sums);
}

}  // namespace

LOMVERA_DEFINE_BLOCK_LOOPS(Wide, LOMVERA_WIDE_VECTOR_CODE)

LOMVERA_WIDE_VECTOR_CODE void measureRowTriplesWide(const unsigned char* a, const unsigned char* b,
                                                    const unsigned char* c, unsigned pixelBytes, std::int32_t count,
                                                    TripleMeasures* measures) {
  if (pixelBytes == 4) return measureRowTriplesOf<4>(a, b, c, count, measures);
  measureRowTriplesOf<3>(a, b, c, count, measures);
}

LOMVERA_WIDE_VECTOR_CODE void measureColumnTriplesWide(const unsigned char* row, unsigned pixelBytes,
                                                       std::int32_t count, TripleMeasures* measures) {
  if (pixelBytes == 4) return measureColumnTriplesOf<4>(row, count, measures);
  measureColumnTriplesOf<3>(row, count, measures);
}

LOMVERA_WIDE_VECTOR_CODE std::uint64_t correctRowPairWide(const CellRounding* cells, std::uint32_t state,
                                                          const unsigned char* even, const unsigned char* odd,
                                                          unsigned pixelBytes, unsigned char* evenOut,
                                                          unsigned char* oddOut, std::int32_t count) {
  if (pixelBytes == 4) return correctRowPairOf<4>(cells, state, even, odd, evenOut, oddOut, count);
  return correctRowPairOf<3>(cells, state, even, odd, evenOut, oddOut, count);
}

LOMVERA_WIDE_VECTOR_CODE std::uint64_t correctColumnRowWide(const CellRounding* cells, std::uint16_t* chains,
                                                            const unsigned char* row, unsigned pixelBytes,
                                                            unsigned char* out, std::int32_t width) {
  if (pixelBytes == 4) return correctColumnRowOf<4>(cells, chains, row, out, width);
  return correctColumnRowOf<3>(cells, chains, row, out, width);
}

#endif
