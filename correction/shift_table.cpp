// buildShiftTable: the measurements of computeShift turned into the table of
// corrections.

#include "correction/correction.h"
#include "platform/console.h"

namespace {

const char* const kBuildTableLabel = "bluring tables   ";
constexpr int kCellsPerDot = 1024;

}  // namespace

void buildShiftTable() {
  printNow("%s", kBuildTableLabel);
  for (int cell = 0; cell < kCellCount; ++cell) {
    for (int channel = 0; channel < kChannelCount; ++channel) {
      // Truncated toward zero; the + 1 damps cells with few samples and keeps
      // empty cells at 0.
      shiftTable[cell][channel] =
          static_cast<std::int32_t>(shiftSums[cell][channel] * kTableUnitsPerLevel / (shiftCounts[cell][channel] + 1));
    }
    if ((cell + 1) % kCellsPerDot == 0) printNow(".");
  }
  printNow("\n");
}
