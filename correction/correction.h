#pragma once

// Stripe removal in three stages, run once per file in this order:
//   computeShift     measures, per quantised colour and channel, how far each
//                    odd line lies from the mean of its two even neighbours;
//   buildShiftTable  turns those measurements into a correction table;
//   performShift     applies half of each correction to the odd pixel and
//                    half to the even one, rounded with ditherHalf.
// They read lineCount, lineLength and inputImage, and write outputImage.

#include <cstdint>

#include "image/image.h"

constexpr int kCellCount = 32768;  // colours quantised to 5 bits per channel
constexpr int kChannelCount = 3;   // 0 red, 1 green, 2 blue

// The table index of a colour: (red >> 3) * 1024 + (green >> 3) * 32 + (blue >> 3).
inline int colourCellOf(Pixel p) {
  return (redOf(p) >> 3) * 1024 + (greenOf(p) >> 3) * 32 + (blueOf(p) >> 3);
}

// Per cell and channel: the sum of 2b - a - c over the cell's samples, and
// twice the number of samples. 64-bit, so that no picture can overflow them.
extern std::int64_t shiftSums[kCellCount][kChannelCount];
extern std::int64_t shiftCounts[kCellCount][kChannelCount];
// Per cell and channel: the odd lines' mean offset in 1/256 colour levels.
extern std::int32_t shiftTable[kCellCount][kChannelCount];

// The rounding generator's state. It starts at kDitherSeed and is never reset,
// so its sequence runs on from file to file within one run.
constexpr std::uint32_t kDitherSeed = 0x146439F5;
constexpr std::uint32_t kDitherMultiplier = 0x6A5DB9EF;
constexpr std::uint32_t kDitherIncrement = 0x3199A77F;
extern std::uint32_t ditherState;

// The generator is affine modulo 2^32, so any number of steps ahead its
// state is multiplier * state + increment, with the pair found by squaring.
struct GeneratorJump {
  std::uint32_t multiplier;
  std::uint32_t increment;
};
GeneratorJump generatorJump(std::uint64_t steps);
inline std::uint32_t jumpedState(GeneratorJump jump, std::uint32_t state) {
  return jump.multiplier * state + jump.increment;
}

// Stage labels, all 17 characters wide so that the dots line up.
extern const char* const kComputeShiftLabel;
extern const char* const kBuildTableLabel;
extern const char* const kPerformShiftLabel;

// Spacing of the progress dots of the two line-walking stages; 0 for fewer
// than 100 lines, in which case every step prints its dot.
std::int32_t progressIntervalFor(std::int32_t lineCount);

// The stages walk the storage of inputImage and outputImage in memory order,
// whichever way the lines run, and give exactly the tables, pixels,
// generator steps and progress dots of walking the lines one after another.
// They expect lineCount and lineLength to describe inputImage in its current
// view, as processFile sets them, and outputImage to match it. performShift
// expects shiftTable entries below 51,840 in magnitude, as buildShiftTable
// makes them.
void computeShift();
void buildShiftTable();
void performShift();

// Rounds |value| / 512 to a whole number of colour levels: the whole part is
// kept, a remainder is rounded up when it exceeds a threshold drawn from the
// generator. Takes one generator step; adds the result's magnitude to
// shiftTotal; returns it with the sign of value.
std::int32_t ditherHalf(std::int32_t value);
