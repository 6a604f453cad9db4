#pragma once

// Loops compiled into both builds of the kernels (kernel_builds.h): plain
// C++ that each build's compiler settings vectorise in their own way. Only
// kernels_baseline.cpp and kernels_wide.cpp include this.

#include <cstring>

#include "correction/correction.h"
#include "correction/kernels.h"
#include "platform/wide_vectors.h"

namespace block_loops {

// Pixel k of file bytes, alpha kept (0 for 3-byte pixels). A 3-byte pixel
// is taken with a 4-byte load, which the slack behind the pixels allows.
LOMVERA_ALWAYS_INLINE Pixel pixelAt(const unsigned char* pixels, unsigned pixelBytes, std::int32_t k) {
  Pixel value;
  std::memcpy(&value, pixels + static_cast<std::size_t>(k) * pixelBytes, sizeof value);
  return pixelBytes == 4 ? value : value & 0x00FFFFFF;
}

// Widens `count` pixels of file bytes to Pixels, alpha kept.
LOMVERA_ALWAYS_INLINE void widen(const unsigned char* pixels, unsigned pixelBytes, std::int32_t count, Pixel* out) {
  for (std::int32_t k = 0; k < count; ++k) out[k] = pixelAt(pixels, pixelBytes, k);
}

// Stores the colour bytes of `count` Pixels as the output file takes them.
LOMVERA_ALWAYS_INLINE void narrow(const Pixel* pixels, std::int32_t count, unsigned char* out) {
  for (std::int32_t k = 0; k < count; ++k) {
    out[3 * k] = static_cast<unsigned char>(pixels[k]);
    out[3 * k + 1] = static_cast<unsigned char>(pixels[k] >> 8);
    out[3 * k + 2] = static_cast<unsigned char>(pixels[k] >> 16);
  }
}

LOMVERA_ALWAYS_INLINE int byteOf(Pixel p, int byte) { return static_cast<int>((p >> (8 * byte)) & 0xFF); }

LOMVERA_ALWAYS_INLINE void measureTriple(Pixel a, Pixel b, Pixel c, std::int32_t k, TripleMeasures* measures) {
  int difference = 0;
  for (int byte = 0; byte < 3; ++byte) {
    const int change = byteOf(b, byte) - byteOf(a, byte);
    difference += change < 0 ? -change : change;
    measures->contribution[k][byte] =
        static_cast<std::int16_t>(2 * byteOf(b, byte) - byteOf(a, byte) - byteOf(c, byte));
  }
  measures->contribution[k][3] = 1;
  const std::int32_t cell = difference <= kSimilarityLimit ? colourCellOf(a) : kNotASampleCell;
  measures->cellOffset[k] = cell * static_cast<std::int32_t>(sizeof(PendingCell));
}

// The measuring loops widen the pixels a few at a time, so that the many
// threads that measure need little stack. They measure the positions from
// `first` on, so that a build may leave the last few positions to them.
constexpr std::int32_t kWidenedPositions = 64;

LOMVERA_ALWAYS_INLINE void measureRowTriples(const unsigned char* a, const unsigned char* b, const unsigned char* c,
                                             unsigned pixelBytes, std::int32_t first, std::int32_t count,
                                             TripleMeasures* measures) {
  Pixel pixels[3][kWidenedPositions];
  for (std::int32_t start = first; start < count; start += kWidenedPositions) {
    const std::int32_t n = count - start < kWidenedPositions ? count - start : kWidenedPositions;
    const std::size_t at = static_cast<std::size_t>(start) * pixelBytes;
    widen(a + at, pixelBytes, n, pixels[0]);
    widen(b + at, pixelBytes, n, pixels[1]);
    widen(c + at, pixelBytes, n, pixels[2]);
    for (std::int32_t k = 0; k < n; ++k) measureTriple(pixels[0][k], pixels[1][k], pixels[2][k], start + k, measures);
  }
}

LOMVERA_ALWAYS_INLINE void measureColumnTriples(const unsigned char* row, unsigned pixelBytes, std::int32_t first,
                                                std::int32_t count, TripleMeasures* measures) {
  Pixel pixels[2 * kWidenedPositions + 1];
  for (std::int32_t start = first; start < count; start += kWidenedPositions) {
    const std::int32_t n = count - start < kWidenedPositions ? count - start : kWidenedPositions;
    widen(row + 2 * static_cast<std::size_t>(start) * pixelBytes, pixelBytes, 2 * n + 1, pixels);
    for (std::int32_t k = 0; k < n; ++k)
      measureTriple(pixels[2 * k], pixels[2 * k + 1], pixels[2 * k + 2], start + k, measures);
  }
}

LOMVERA_ALWAYS_INLINE void addMeasure(PendingCell* set, std::int32_t cellOffset, const std::int16_t* contribution) {
  PendingCell& pending = *reinterpret_cast<PendingCell*>(reinterpret_cast<char*>(set) + cellOffset);
  pending.sum[0] += contribution[0];
  pending.sum[1] += contribution[1];
  pending.sum[2] += contribution[2];
  pending.samples += contribution[3];
}

// Neighbouring positions often fall in one cell, and an addition to a cell
// waits for the one before it. So the positions are added in kStreams
// streams a stretch apart, taken by turns, the streams to the two sets of
// pending sums by turns: consecutive additions seldom meet in one cell.
constexpr std::int32_t kStreams = 8;

LOMVERA_ALWAYS_INLINE void addMeasures(const TripleMeasures& measures, std::int32_t count, PendingCell* first,
                                       PendingCell* second) {
  const std::int32_t stretch = count / kStreams;
  for (std::int32_t k = 0; k < stretch; ++k) {
    for (std::int32_t stream = 0; stream < kStreams; stream += 2) {
      const std::int32_t inFirst = k + stream * stretch;
      const std::int32_t inSecond = inFirst + stretch;
      addMeasure(first, measures.cellOffset[inFirst], measures.contribution[inFirst]);
      addMeasure(second, measures.cellOffset[inSecond], measures.contribution[inSecond]);
    }
  }
  for (std::int32_t k = kStreams * stretch; k < count; ++k)
    addMeasure(first, measures.cellOffset[k], measures.contribution[k]);
}

// The output pixels of `count` pixels (kernels.h).
constexpr std::int32_t kCopiedPixels = 256;
LOMVERA_ALWAYS_INLINE void copyPixelBytes(const unsigned char* pixels, unsigned pixelBytes, unsigned char* out,
                                          std::int32_t count) {
  if (pixelBytes == 3) {
    std::memcpy(out, pixels, 3 * static_cast<std::size_t>(count));
    return;
  }
  for (std::int32_t start = 0; start < count; start += kCopiedPixels) {
    Pixel block[kCopiedPixels];
    const std::int32_t n = count - start < kCopiedPixels ? count - start : kCopiedPixels;
    widen(pixels + static_cast<std::size_t>(start) * pixelBytes, pixelBytes, n, block);
    narrow(block, n, out + 3 * static_cast<std::size_t>(start));
  }
}

}  // namespace block_loops

// Defines the loops of this header as kernels of one build, named with
// `build`.
#define LOMVERA_DEFINE_BLOCK_LOOPS(build, attributes)                                                              \
  attributes void addMeasures##build(const TripleMeasures& measures, std::int32_t count, PendingCell* first,       \
                                     PendingCell* second) {                                                        \
    block_loops::addMeasures(measures, count, first, second);                                                      \
  }                                                                                                                \
  attributes void copyPixelBytes##build(const unsigned char* pixels, unsigned pixelBytes, unsigned char* out,      \
                                        std::int32_t count) {                                                      \
    block_loops::copyPixelBytes(pixels, pixelBytes, out, count);                                                   \
  }
