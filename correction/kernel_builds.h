#pragma once

// The two builds of every kernel of kernels.h, for kernels.cpp to choose
// from. The loops that need no hand-written vector code are written once, in
// block_loops.h, and compiled into both. The wide build exists only where
// LOMVERA_HAS_WIDE_VECTOR_CODE says (platform/wide_vectors.h).

#include "correction/kernels.h"

#define LOMVERA_DECLARE_KERNELS(build)                                                                              \
  void measureRowTriples##build(const unsigned char* a, const unsigned char* b, const unsigned char* c,             \
                                unsigned pixelBytes, std::int32_t count, TripleMeasures* measures);                 \
  void measureColumnTriples##build(const unsigned char* row, unsigned pixelBytes, std::int32_t count,               \
                                   TripleMeasures* measures);                                                       \
  void addMeasures##build(const TripleMeasures& measures, std::int32_t count, PendingCell* first,                   \
                          PendingCell* second);                                                                     \
  std::uint64_t correctRowPair##build(const CellRounding* cells, std::uint32_t state, const unsigned char* even,    \
                                      const unsigned char* odd, unsigned pixelBytes, unsigned char* evenOut,        \
                                      unsigned char* oddOut, std::int32_t count);                                   \
  std::uint64_t correctColumnRow##build(const CellRounding* cells, std::uint16_t* chains, const unsigned char* row, \
                                        unsigned pixelBytes, unsigned char* out, std::int32_t width);               \
  void copyPixelBytes##build(const unsigned char* pixels, unsigned pixelBytes, unsigned char* out, std::int32_t count);

LOMVERA_DECLARE_KERNELS(Baseline)
LOMVERA_DECLARE_KERNELS(Wide)
