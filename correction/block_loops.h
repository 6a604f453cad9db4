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

}  // namespace block_loops

// Defines the loops of this header as kernels of one build, named with
// `build`.
#define LOMVERA_DEFINE_BLOCK_LOOPS(build, attributes)                                                        \
  attributes void addMeasures##build(const TripleMeasures& measures, std::int32_t count, PendingCell* first, \
                                     PendingCell* second) {                                                  \
    block_loops::addMeasures(measures, count, first, second);                                                \
  }
