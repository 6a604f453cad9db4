// The one place where the build of the kernels is chosen: the wide vector
// build where the processor runs it and wideVectorsInUse asks for it, the
// baseline build otherwise.

#include "correction/kernels.h"

#include "correction/kernel_builds.h"
#include "platform/wide_vectors.h"

void measureRowTriples(const Pixel* a, const Pixel* b, const Pixel* c, std::int32_t count, TripleMeasures* measures) {
  if (wideVectorsInUse) return measureRowTriplesWide(a, b, c, count, measures);
  measureRowTriplesBaseline(a, b, c, 0, count, measures);
}

void measureColumnTriples(const Pixel* row, std::int32_t count, TripleMeasures* measures) {
  if (wideVectorsInUse) return measureColumnTriplesWide(row, count, measures);
  measureColumnTriplesBaseline(row, 0, count, measures);
}

void addMeasures(const TripleMeasures& measures, std::int32_t count, PendingCell* first, PendingCell* second) {
  if (wideVectorsInUse) return addMeasuresWide(measures, count, first, second);
  addMeasuresBaseline(measures, count, first, second);
}

void prepareRowBlock(const DrawJumps& jumps, const CellCorrection* corrections, std::uint16_t* state,
                     const Pixel* even, std::int32_t count, CorrectionBlock* block) {
  if (wideVectorsInUse) return prepareRowBlockWide(jumps, corrections, state, even, count, block);
  prepareRowBlockBaseline(jumps, corrections, state, even, count, block);
}

void prepareColumnBlock(const DrawJumps& jumps, const CellCorrection* corrections, std::uint16_t* chains,
                        const Pixel* row, std::int32_t count, CorrectionBlock* block) {
  if (wideVectorsInUse) return prepareColumnBlockWide(jumps, corrections, chains, row, count, block);
  prepareColumnBlockBaseline(jumps, corrections, chains, row, count, block);
}

std::uint32_t correctPixels(const Pixel* in, Pixel* out, const std::uint16_t* thresholds,
                            const std::uint16_t* magnitudes, const std::uint8_t* down, std::int32_t count) {
  if (wideVectorsInUse) return correctPixelsWide(in, out, thresholds, magnitudes, down, count);
  return correctPixelsBaseline(in, out, thresholds, magnitudes, down, count);
}
