// What the three stages share: the current picture's lines and the
// correction tables.

#include "correction/correction.h"

#include <cstring>

#include "correction/parallel_runs.h"

std::int32_t lineCount = 0;
std::int32_t lineLength = 0;
std::int64_t shiftTotal = 0;
PassSpread statisticsSpread;
PassSpread correctionSpread;

CorrectionTables correctionTables;
std::int64_t (&shiftSums)[kCellCount][kChannelCount] = correctionTables.sums;
std::int64_t (&shiftCounts)[kCellCount][kChannelCount] = correctionTables.counts;
std::int32_t (&shiftTable)[kCellCount][kChannelCount] = correctionTables.table;

std::int32_t rowsPerBlock(std::int32_t width) {
  const std::int32_t pixels = rowBlockPixels();
  const std::int32_t rows = width > 0 ? (pixels / width) & ~1 : pixels;
  return rows < 2 ? 2 : rows;
}

bool bytesAreZero(const void* data, std::size_t bytes) {
  static const std::int64_t zeros[kCellsPerBlock][kChannelCount] = {};
  return bytes <= sizeof zeros && std::memcmp(data, zeros, bytes) == 0;
}
