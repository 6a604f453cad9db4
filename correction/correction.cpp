// What the three stages share: the current picture's lines and the
// correction tables.

#include "correction/correction.h"

std::int32_t lineCount = 0;
std::int32_t lineLength = 0;
std::int64_t shiftTotal = 0;

CorrectionTables correctionTables;
std::int64_t (&shiftSums)[kCellCount][kChannelCount] = correctionTables.sums;
std::int64_t (&shiftCounts)[kCellCount][kChannelCount] = correctionTables.counts;
std::int32_t (&shiftTable)[kCellCount][kChannelCount] = correctionTables.table;

std::int32_t rowsPerBlock(std::int32_t width) {
  const std::int32_t rows = width > 0 ? (kRowBlockPixels / width) & ~1 : kRowBlockPixels;
  return rows < 2 ? 2 : rows;
}
