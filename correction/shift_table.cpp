// buildShiftTable: the measurements of computeShift turned into the table of
// corrections.

#include <cstring>

#include "correction/correction.h"
#include "platform/console.h"

namespace {

const char* const kBuildTableLabel = "bluring tables   ";
constexpr int kCellsPerDot = 1024;
static_assert(kCellsPerDot % kCellsPerBlock == 0, "a dot after whole blocks");

// The entries of cells first to first + kCellsPerBlock - 1.
void buildTableEntries(int first) {
  for (int cell = first; cell < first + kCellsPerBlock; ++cell) {
    for (int channel = 0; channel < kChannelCount; ++channel) {
      // Truncated toward zero; the + 1 damps cells with few samples and keeps
      // empty cells at 0. A divisor of 1, that of a cell without samples,
      // needs no division.
      const std::int64_t scaled = shiftSums[cell][channel] * kTableUnitsPerLevel;
      const std::int64_t divisor = shiftCounts[cell][channel] + 1;
      shiftTable[cell][channel] = static_cast<std::int32_t>(divisor == 1 ? scaled : scaled / divisor);
    }
  }
}

}  // namespace

void buildShiftTable() {
  printNow("%s", kBuildTableLabel);
  for (int first = 0; first < kCellCount; first += kCellsPerBlock) {
    if (bytesAreZero(&shiftSums[first], sizeof shiftSums[0] * kCellsPerBlock)) {
      // Every entry of a sum of 0 is 0.
      std::memset(&shiftTable[first], 0, sizeof shiftTable[0] * kCellsPerBlock);
    } else {
      buildTableEntries(first);
    }
    if ((first + kCellsPerBlock) % kCellsPerDot == 0) printNow(".");
  }
  printNow("\n");
}
