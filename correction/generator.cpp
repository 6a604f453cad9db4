#include "correction/generator.h"

#include "correction/correction.h"

std::uint32_t ditherState = kDitherSeed;

std::int32_t ditherHalf(std::int32_t value) {
  ditherState = ditherState * kDitherMultiplier + kDitherIncrement;
  const std::uint32_t magnitude =
      value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  const std::int32_t rounded = static_cast<std::int32_t>(halfLevels(magnitude, thresholdOf(ditherState)));
  shiftTotal += rounded;
  return value > 0 ? rounded : -rounded;
}
