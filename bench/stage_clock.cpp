// The stage clock of the timed build (driver/stage_clock.h), compiled into
// lomvera_timed alone.

#include "driver/stage_clock.h"

#include <chrono>
#include <cstdio>

#include "correction/correction.h"

namespace {

constexpr int kMaxStages = 8;

using StageClock = std::chrono::steady_clock;

StageClock::time_point lastMark;
const char* stageNames[kMaxStages];
double stageMilliseconds[kMaxStages];
int stagesMarked = 0;

}  // namespace

void stageClockStart() {
  stagesMarked = 0;
  lastMark = StageClock::now();
}

void stageClockMark(const char* stage) {
  const StageClock::time_point now = StageClock::now();
  if (stagesMarked < kMaxStages) {
    stageNames[stagesMarked] = stage;
    stageMilliseconds[stagesMarked] = std::chrono::duration<double, std::milli>(now - lastMark).count();
    ++stagesMarked;
  }
  lastMark = now;
}

void stageClockReport() {
  std::fprintf(stderr, "stage times ms:");
  for (int i = 0; i < stagesMarked; ++i) std::fprintf(stderr, " %s %.1f", stageNames[i], stageMilliseconds[i]);
  const int most = statisticsSpread.threads > correctionSpread.threads ? statisticsSpread.threads : correctionSpread.threads;
  std::fprintf(stderr, " threads %d\n", most);
  std::fprintf(stderr, "stage threads: statistics %d of %d runs, application %d of %d runs\n", statisticsSpread.threads,
               static_cast<int>(statisticsSpread.runs), correctionSpread.threads, static_cast<int>(correctionSpread.runs));
}
