// The one place where the build of the kernels is chosen: the wide vector
// build where the processor runs it and wideVectorsInUse asks for it, the
// baseline build otherwise.

#include "correction/kernels.h"

#include "correction/kernel_builds.h"
#include "platform/wide_vectors.h"

void measureRowTriples(const unsigned char* a, const unsigned char* b, const unsigned char* c, unsigned pixelBytes,
                       std::int32_t count, TripleMeasures* measures) {
  if (wideVectorsInUse) return measureRowTriplesWide(a, b, c, pixelBytes, count, measures);
  measureRowTriplesBaseline(a, b, c, pixelBytes, 0, count, measures);
}

void measureColumnTriples(const unsigned char* row, unsigned pixelBytes, std::int32_t count, TripleMeasures* measures) {
  if (wideVectorsInUse) return measureColumnTriplesWide(row, pixelBytes, count, measures);
  measureColumnTriplesBaseline(row, pixelBytes, 0, count, measures);
}

void addMeasures(const TripleMeasures& measures, std::int32_t count, PendingCell* first, PendingCell* second) {
  if (wideVectorsInUse) return addMeasuresWide(measures, count, first, second);
  addMeasuresBaseline(measures, count, first, second);
}

std::uint64_t correctRowPair(const CellRounding* cells, std::uint32_t state, const unsigned char* even,
                             const unsigned char* odd, unsigned pixelBytes, unsigned char* evenOut,
                             unsigned char* oddOut, std::int32_t count) {
  if (wideVectorsInUse) return correctRowPairWide(cells, state, even, odd, pixelBytes, evenOut, oddOut, count);
  return correctRowPairBaseline(cells, state, even, odd, pixelBytes, evenOut, oddOut, count);
}

std::uint64_t correctColumnRow(const CellRounding* cells, std::uint16_t* chains, const unsigned char* row,
                               unsigned pixelBytes, unsigned char* out, std::int32_t width) {
  if (wideVectorsInUse) return correctColumnRowWide(cells, chains, row, pixelBytes, out, width);
  return correctColumnRowBaseline(cells, chains, row, pixelBytes, out, width);
}

void copyPixelBytes(const unsigned char* pixels, unsigned pixelBytes, unsigned char* out, std::int32_t count) {
  if (wideVectorsInUse) return copyPixelBytesWide(pixels, pixelBytes, out, count);
  copyPixelBytesBaseline(pixels, pixelBytes, out, count);
}
