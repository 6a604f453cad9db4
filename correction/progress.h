#pragma once

// Progress dots of the two stages that walk the lines two at a time.
//
// A stage that walks `steps` triples or pairs prints one dot after each step
// i = 0, 2, 4, ... with i mod progressInterval = 0 (every step when the
// interval is 0). The stages go through the file row by row, which with
// columns as lines finishes every step at once at the end, so the dots are
// spread over the work instead: the same number, in the same place of the
// output, shown as the work goes on.

#include <cstdint>

// (lineCount / 50) with its lowest bit cleared; 0 for fewer than 100 lines.
std::int32_t progressIntervalFor(std::int32_t lineCount);

struct ProgressDots {
  std::int64_t total;
  std::int64_t printed;
};

// The dots of a walk of `steps` steps over lineCount lines, none printed yet.
ProgressDots dotsForWalk(std::int32_t steps, std::int32_t lineCount);

// Prints the dots due once `done` of `whole` parts of the work are done;
// with done == whole, all that are left.
void advanceDots(ProgressDots* dots, std::int64_t done, std::int64_t whole);
