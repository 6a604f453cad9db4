// The one place where the build of the kernels is chosen: the wide vector
// build where this program has it, the processor runs it and
// wideVectorsInUse asks for it, the baseline build otherwise.

#include "correction/kernels.h"

#include "correction/kernel_builds.h"
#include "platform/wide_vectors.h"

// Calls the kernel `name` of the build chosen; a program without the wide
// build names none of its kernels.
#define LOMVERA_CALL_KERNEL(name, ...)                                        \
  if constexpr (LOMVERA_HAS_WIDE_VECTOR_CODE) {                               \
    if (wideVectorsInUse) return name##Wide(__VA_ARGS__);                     \
  }                                                                           \
  return name##Baseline(__VA_ARGS__)

void measureRowTriples(const unsigned char* a, const unsigned char* b, const unsigned char* c, unsigned pixelBytes,
                       std::int32_t count, TripleMeasures* measures) {
  LOMVERA_CALL_KERNEL(measureRowTriples, a, b, c, pixelBytes, count, measures);
}

void measureColumnTriples(const unsigned char* row, unsigned pixelBytes, std::int32_t count, TripleMeasures* measures) {
  LOMVERA_CALL_KERNEL(measureColumnTriples, row, pixelBytes, count, measures);
}

void addMeasures(const TripleMeasures& measures, std::int32_t count, PendingCell* first, PendingCell* second) {
  LOMVERA_CALL_KERNEL(addMeasures, measures, count, first, second);
}

std::uint64_t correctRowPair(const CellRounding* cells, std::uint32_t state, const unsigned char* even,
                             const unsigned char* odd, unsigned pixelBytes, unsigned char* evenOut,
                             unsigned char* oddOut, std::int32_t count) {
  LOMVERA_CALL_KERNEL(correctRowPair, cells, state, even, odd, pixelBytes, evenOut, oddOut, count);
}

std::uint64_t correctColumnRow(const CellRounding* cells, std::uint16_t* chains, const unsigned char* row,
                               unsigned pixelBytes, unsigned char* out, std::int32_t width) {
  LOMVERA_CALL_KERNEL(correctColumnRow, cells, chains, row, pixelBytes, out, width);
}

void copyPixelBytes(const unsigned char* pixels, unsigned pixelBytes, unsigned char* out, std::int32_t count) {
  LOMVERA_CALL_KERNEL(copyPixelBytes, pixels, pixelBytes, out, count);
}
