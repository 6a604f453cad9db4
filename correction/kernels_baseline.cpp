// The baseline build of the innermost loops (kernels.h): plain C++ that the
// compiler vectorises as far as the baseline processor allows.

#include <algorithm>
#include <cstring>

#include "correction/block_loops.h"
#include "correction/generator.h"
#include "correction/kernel_builds.h"

namespace {

// Positions corrected together: their pixels, draws and corrections are
// kept in small arrays that stay in the first-level cache, and worked out
// in loops over all their colour bytes that the compiler can vectorise.
constexpr std::int32_t kRoundingBlock = 256;

// The jumps from the state before a block along a pair of rows to the draw
// of colour byte `byte` of the even (e = 0) or odd (e = 1) pixel of its
// position i, at 4 * i + byte (none for the alpha byte), and from one block
// to the next. Multipliers and increments apart, for loops over many.
struct AlongJumps {
  std::uint16_t multiplier[2][4 * kRoundingBlock]{};
  std::uint16_t increment[2][4 * kRoundingBlock]{};
};
constexpr AlongJumps alongJumps() {
  AlongJumps jumps;
  for (int e = 0; e < 2; ++e) {
    for (int i = 0; i < kRoundingBlock; ++i) {
      for (int byte = 0; byte < 3; ++byte) {
        const LowJump jump = lowJumpOf(drawOfByte(static_cast<std::uint64_t>(i), e, byte));
        jumps.multiplier[e][4 * i + byte] = jump.multiplier;
        jumps.increment[e][4 * i + byte] = jump.increment;
      }
    }
  }
  return jumps;
}
constexpr AlongJumps kAlongJumps = alongJumps();
constexpr LowJump kBlockJump = lowJumpOf(static_cast<std::uint64_t>(kDrawsPerPosition) * kRoundingBlock);

// The same across one position: for the colour bytes of its even pixel and
// then its odd pixel; and from one position to the next.
struct AcrossJumps {
  std::uint16_t multiplier[8]{};
  std::uint16_t increment[8]{};
};
constexpr AcrossJumps acrossJumps() {
  AcrossJumps jumps;
  for (int e = 0; e < 2; ++e) {
    for (int byte = 0; byte < 3; ++byte) {
      const LowJump jump = lowJumpOf(drawOfByte(0, e, byte));
      jumps.multiplier[4 * e + byte] = jump.multiplier;
      jumps.increment[4 * e + byte] = jump.increment;
    }
  }
  return jumps;
}
constexpr AcrossJumps kAcrossJumps = acrossJumps();
constexpr LowJump kPositionJump = lowJumpOf(kDrawsPerPosition);

// The down bytes of each set of downBits: 0xFF in each byte whose bit is set.
constexpr std::uint32_t downBytesOf(unsigned downBits) {
  return (downBits & 1 ? 0xFFu : 0u) | (downBits & 2 ? 0xFF00u : 0u) | (downBits & 4 ? 0xFF0000u : 0u);
}
constexpr std::uint32_t kDownBytes[8] = {downBytesOf(0), downBytesOf(1), downBytesOf(2), downBytesOf(3),
                                         downBytesOf(4), downBytesOf(5), downBytesOf(6), downBytesOf(7)};

// The rounding offset of the draw one jump from `state`. An alpha byte's
// empty jump gives some offset, below 512, which with its magnitude 0 moves
// nothing.
LOMVERA_ALWAYS_INLINE std::uint16_t offsetAfter(std::uint16_t multiplier, std::uint16_t increment, std::uint16_t state) {
  return roundingOffsetOfLowState(lowStateAfter({multiplier, increment}, state));
}

// What the correction of `count` Pixels takes per colour byte f (byte f % 4
// of pixel f / 4): the magnitude of its entry, its rounding offset, and
// whether it moves down.
struct ByteCorrections {
  std::uint16_t magnitude[8 * kRoundingBlock];
  std::uint16_t offset[8 * kRoundingBlock];
  std::uint8_t down[8 * kRoundingBlock];
};

// Puts a cell's rounding at the colour bytes of one pixel, moving the way
// of the even pixel or, `reversed`, of the odd pixel.
LOMVERA_ALWAYS_INLINE void placeRounding(const CellRounding& rounding, bool reversed, std::int32_t pixel,
                                         ByteCorrections* bytes) {
  std::memcpy(bytes->magnitude + 4 * pixel, rounding.magnitude, sizeof rounding.magnitude);
  bytes->magnitude[4 * pixel + 3] = 0;
  const std::uint32_t down = kDownBytes[rounding.downBits & 7];
  const std::uint32_t moving = reversed ? ~down : down;
  std::memcpy(bytes->down + 4 * pixel, &moving, sizeof moving);
}

// Corrects `count` Pixels in place byte by byte; the alpha bytes, of
// magnitude 0, pass unchanged. Returns the sum of the half corrections.
// The arrays are passed apart, so that the compiler, which cannot tell
// whether the bytes written overlap the others, checks that once for the
// whole loop.
std::uint32_t correctBytes(std::uint8_t* levels, const std::uint16_t* magnitude, const std::uint16_t* offset,
                           const std::uint8_t* down, std::int32_t count) {
  // In 16 bits, where the clamping takes two instructions even on the
  // baseline processor: a half is at most 102, so a moved level lies within
  // -102..357.
  std::uint32_t total = 0;
  for (std::int32_t f = 0; f < 4 * count; ++f) {
    const std::int16_t half = static_cast<std::int16_t>(halfLevelsIn16Bits(magnitude[f], offset[f]));
    const auto level = static_cast<std::int16_t>(levels[f] + (down[f] ? -half : half));
    levels[f] = static_cast<std::uint8_t>(std::min<std::int16_t>(std::max<std::int16_t>(level, 0), kLargestLevel));
    total += static_cast<std::uint16_t>(half);
  }
  return total;
}
std::uint32_t correctBytes(Pixel* pixels, const ByteCorrections& bytes, std::int32_t count) {
  return correctBytes(reinterpret_cast<std::uint8_t*>(pixels), bytes.magnitude, bytes.offset, bytes.down, count);
}

}  // namespace

LOMVERA_DEFINE_BLOCK_LOOPS(Baseline, )

std::uint64_t correctRowPairBaseline(const CellRounding* cells, std::uint32_t state, const unsigned char* even,
                                     const unsigned char* odd, unsigned pixelBytes, unsigned char* evenOut,
                                     unsigned char* oddOut, std::int32_t count) {
  std::uint64_t total = 0;
  auto blockState = static_cast<std::uint16_t>(state);
  Pixel pixels[2][kRoundingBlock];
  ByteCorrections bytes[2];
  for (std::int32_t first = 0; first < count; first += kRoundingBlock) {
    const std::int32_t n = count - first < kRoundingBlock ? count - first : kRoundingBlock;
    const std::size_t in = static_cast<std::size_t>(first) * pixelBytes;
    const std::size_t out = static_cast<std::size_t>(first) * 3;
    block_loops::widen(even + in, pixelBytes, n, pixels[0]);
    block_loops::widen(odd + in, pixelBytes, n, pixels[1]);
    for (int e = 0; e < 2; ++e) {
      for (std::int32_t f = 0; f < 4 * n; ++f)
        bytes[e].offset[f] = offsetAfter(kAlongJumps.multiplier[e][f], kAlongJumps.increment[e][f], blockState);
    }
    for (std::int32_t i = 0; i < n; ++i) {
      const CellRounding& rounding = cells[colourCellOf(pixels[0][i])];
      placeRounding(rounding, false, i, &bytes[0]);
      placeRounding(rounding, true, i, &bytes[1]);
    }
    for (int e = 0; e < 2; ++e) total += correctBytes(pixels[e], bytes[e], n);
    block_loops::narrow(pixels[0], n, evenOut + out);
    block_loops::narrow(pixels[1], n, oddOut + out);
    blockState = lowStateAfter(kBlockJump, blockState);
  }
  return total;
}

std::uint64_t correctColumnRowBaseline(const CellRounding* cells, std::uint16_t* chains, const unsigned char* row,
                                       unsigned pixelBytes, unsigned char* out, std::int32_t width) {
  std::uint64_t total = 0;
  Pixel pixels[2 * kRoundingBlock];
  ByteCorrections bytes;
  // Blocks of kRoundingBlock pairs; the last pixel of an odd width is
  // widened and stored with the last block, and left uncorrected.
  for (std::int32_t first = 0; 2 * first < width; first += kRoundingBlock) {
    const std::int32_t pixelCount = width - 2 * first < 2 * kRoundingBlock ? width - 2 * first : 2 * kRoundingBlock;
    const std::int32_t pairs = pixelCount / 2;
    block_loops::widen(row + 2 * static_cast<std::size_t>(first) * pixelBytes, pixelBytes, pixelCount, pixels);
    // Loops apart, each simple enough to vectorise.
    std::uint16_t* pairChains = chains + first;
    for (std::int32_t p = 0; p < pairs; ++p) {
      for (int f = 0; f < 8; ++f)
        bytes.offset[8 * p + f] = offsetAfter(kAcrossJumps.multiplier[f], kAcrossJumps.increment[f], pairChains[p]);
    }
    for (std::int32_t p = 0; p < pairs; ++p) pairChains[p] = lowStateAfter(kPositionJump, pairChains[p]);
    for (std::int32_t p = 0; p < pairs; ++p) {
      const CellRounding& rounding = cells[colourCellOf(pixels[2 * p])];
      placeRounding(rounding, false, 2 * p, &bytes);
      placeRounding(rounding, true, 2 * p + 1, &bytes);
    }
    total += correctBytes(pixels, bytes, 2 * pairs);
    block_loops::narrow(pixels, pixelCount, out + 6 * static_cast<std::size_t>(first));
  }
  return total;
}

void measureRowTriplesBaseline(const unsigned char* a, const unsigned char* b, const unsigned char* c,
                               unsigned pixelBytes, std::int32_t count, TripleMeasures* measures) {
  block_loops::measureRowTriples(a, b, c, pixelBytes, 0, count, measures);
}

void measureColumnTriplesBaseline(const unsigned char* row, unsigned pixelBytes, std::int32_t count,
                                  TripleMeasures* measures) {
  block_loops::measureColumnTriples(row, pixelBytes, 0, count, measures);
}
