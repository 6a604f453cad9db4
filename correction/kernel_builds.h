#pragma once

// The two builds of every kernel of kernels.h, for kernels.cpp to choose
// from. The loops that need no hand-written vector code are written once, in
// block_loops.h, and compiled into both. The measuring kernels of the
// baseline build also take a first position, so that the wide build can
// leave the last few positions to them.

#include "correction/kernels.h"

void measureRowTriplesBaseline(const unsigned char* a, const unsigned char* b, const unsigned char* c,
                               unsigned pixelBytes, std::int32_t first, std::int32_t count, TripleMeasures* measures);
void measureRowTriplesWide(const unsigned char* a, const unsigned char* b, const unsigned char* c, unsigned pixelBytes,
                           std::int32_t count, TripleMeasures* measures);
void measureColumnTriplesBaseline(const unsigned char* row, unsigned pixelBytes, std::int32_t first,
                                  std::int32_t count, TripleMeasures* measures);
void measureColumnTriplesWide(const unsigned char* row, unsigned pixelBytes, std::int32_t count,
                              TripleMeasures* measures);
void addMeasuresBaseline(const TripleMeasures& measures, std::int32_t count, PendingCell* first, PendingCell* second);
void addMeasuresWide(const TripleMeasures& measures, std::int32_t count, PendingCell* first, PendingCell* second);
std::uint64_t correctRowPairBaseline(const CellRounding* cells, std::uint32_t state, const unsigned char* even,
                                     const unsigned char* odd, unsigned pixelBytes, unsigned char* evenOut,
                                     unsigned char* oddOut, std::int32_t count);
std::uint64_t correctRowPairWide(const CellRounding* cells, std::uint32_t state, const unsigned char* even,
                                 const unsigned char* odd, unsigned pixelBytes, unsigned char* evenOut,
                                 unsigned char* oddOut, std::int32_t count);
std::uint64_t correctColumnRowBaseline(const CellRounding* cells, std::uint16_t* chains, const unsigned char* row,
                                       unsigned pixelBytes, unsigned char* out, std::int32_t width);
std::uint64_t correctColumnRowWide(const CellRounding* cells, std::uint16_t* chains, const unsigned char* row,
                                   unsigned pixelBytes, unsigned char* out, std::int32_t width);
void copyPixelBytesBaseline(const unsigned char* pixels, unsigned pixelBytes, unsigned char* out, std::int32_t count);
void copyPixelBytesWide(const unsigned char* pixels, unsigned pixelBytes, unsigned char* out, std::int32_t count);
