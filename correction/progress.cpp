#include "correction/progress.h"

#include "platform/console.h"

std::int32_t progressIntervalFor(std::int32_t lineCount) { return (lineCount / 50) & 0xFFFE; }

ProgressDots dotsForWalk(std::int32_t steps, std::int32_t lineCount) {
  const std::int32_t interval = progressIntervalFor(lineCount);
  std::int64_t total = 0;
  if (steps > 0) total = interval == 0 ? steps : 2 * (steps - 1) / interval + 1;
  return ProgressDots{total, 0};
}

void advanceDots(ProgressDots* dots, std::int64_t done, std::int64_t whole) {
  const std::int64_t due = whole > 0 ? dots->total * done / whole : dots->total;
  for (; dots->printed < due; ++dots->printed) printNow(".");
}
