#pragma once

// The two builds of every kernel of kernels.h, for kernels.cpp to choose
// from. The loops that need no hand-written vector code are written once, in
// block_loops.h, and compiled into both.

#include "correction/kernels.h"

void measureRowTriplesBaseline(const Pixel* a, const Pixel* b, const Pixel* c, std::int32_t first,
                               std::int32_t count, TripleMeasures* measures);
void measureRowTriplesWide(const Pixel* a, const Pixel* b, const Pixel* c, std::int32_t count,
                           TripleMeasures* measures);
void measureColumnTriplesBaseline(const Pixel* row, std::int32_t first, std::int32_t count, TripleMeasures* measures);
void measureColumnTriplesWide(const Pixel* row, std::int32_t count, TripleMeasures* measures);
void addMeasuresBaseline(const TripleMeasures& measures, std::int32_t count, PendingCell* first, PendingCell* second);
void addMeasuresWide(const TripleMeasures& measures, std::int32_t count, PendingCell* first, PendingCell* second);
void prepareRowBlockBaseline(const DrawJumps& jumps, const CellCorrection* corrections, std::uint16_t* state,
                             const Pixel* even, std::int32_t count, CorrectionBlock* block);
void prepareRowBlockWide(const DrawJumps& jumps, const CellCorrection* corrections, std::uint16_t* state,
                         const Pixel* even, std::int32_t count, CorrectionBlock* block);
void prepareColumnBlockBaseline(const DrawJumps& jumps, const CellCorrection* corrections, std::uint16_t* chains,
                                const Pixel* row, std::int32_t count, CorrectionBlock* block);
void prepareColumnBlockWide(const DrawJumps& jumps, const CellCorrection* corrections, std::uint16_t* chains,
                            const Pixel* row, std::int32_t count, CorrectionBlock* block);
std::uint32_t correctPixelsBaseline(const Pixel* in, Pixel* out, const std::uint16_t* thresholds,
                                    const std::uint16_t* magnitudes, const std::uint8_t* down, std::int32_t count);
std::uint32_t correctPixelsWide(const Pixel* in, Pixel* out, const std::uint16_t* thresholds,
                                const std::uint16_t* magnitudes, const std::uint8_t* down, std::int32_t count);
