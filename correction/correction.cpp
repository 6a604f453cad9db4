#include "correction/correction.h"

#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "platform/console.h"

std::int64_t shiftSums[kCellCount][kChannelCount];
std::int64_t shiftCounts[kCellCount][kChannelCount];
std::int32_t shiftTable[kCellCount][kChannelCount];
std::uint32_t ditherState = kDitherSeed;

const char* const kComputeShiftLabel = "computing shift  ";
const char* const kBuildTableLabel = "bluring tables   ";
const char* const kPerformShiftLabel = "performing shift ";

namespace {

// Only positions whose middle pixel lies this close to the first outer pixel
// (sum of the three channel differences) are taken as samples: elsewhere the
// picture itself changes, and the difference says nothing about the stripes.
constexpr int kSimilarityLimit = 150;
constexpr int kTableDotEvery = 1024;  // cells per dot of buildShiftTable

bool dotDue(std::int32_t line, std::int32_t interval) { return interval == 0 || line % interval == 0; }

int clampLevel(int value) { return value < 0 ? 0 : (value > 255 ? 255 : value); }

int channelOf(Pixel p, int channel) {
  return static_cast<int>((p >> (16 - 8 * channel)) & 0xFF);
}

}  // namespace

std::int32_t progressIntervalFor(std::int32_t lineCount) { return (lineCount / 50) & 0xFFFE; }

void computeShift() {
  std::memset(shiftSums, 0, sizeof shiftSums);
  std::memset(shiftCounts, 0, sizeof shiftCounts);
  printNow("%s", kComputeShiftLabel);
  const std::int32_t interval = progressIntervalFor(lineCount);
  for (std::int32_t i = 0; i + 2 < lineCount; i += 2) {
    for (std::int32_t j = 0; j < lineLength; ++j) {
      const Pixel a = inputImage.getPixel(i, j);
      const Pixel b = inputImage.getPixel(i + 1, j);
      const Pixel c = inputImage.getPixel(i + 2, j);
      const int difference = std::abs(redOf(b) - redOf(a)) + std::abs(greenOf(b) - greenOf(a)) +
                             std::abs(blueOf(b) - blueOf(a));
      if (difference > kSimilarityLimit) continue;
      const int cell = colourCellOf(a);
      for (int channel = 0; channel < kChannelCount; ++channel) {
        shiftSums[cell][channel] += 2 * channelOf(b, channel) - channelOf(a, channel) - channelOf(c, channel);
        shiftCounts[cell][channel] += 2;
      }
    }
    if (dotDue(i, interval)) printNow(".");
  }
  printNow("\n");
}

void buildShiftTable() {
  printNow("%s", kBuildTableLabel);
  for (int cell = 0; cell < kCellCount; ++cell) {
    for (int channel = 0; channel < kChannelCount; ++channel) {
      // Truncated toward zero; the + 1 damps cells with few samples and keeps
      // empty cells at 0.
      shiftTable[cell][channel] =
          static_cast<std::int32_t>(shiftSums[cell][channel] * 256 / (shiftCounts[cell][channel] + 1));
    }
    if ((cell + 1) % kTableDotEvery == 0) printNow(".");
  }
  printNow("\n");
}

std::int32_t ditherHalf(std::int32_t value) {
  ditherState = ditherState * kDitherMultiplier + kDitherIncrement;
  const std::uint32_t threshold = (ditherState >> 5) & 511;
  const std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  const std::int32_t rounded = static_cast<std::int32_t>((magnitude >> 9) + ((magnitude & 511) > threshold ? 1 : 0));
  shiftTotal += rounded;
  return value > 0 ? rounded : -rounded;
}

// Corrects the pair of lines (x, x + 1) at position j.
static void correctPosition(std::int32_t x, std::int32_t j) {
  const Pixel evenPixel = inputImage.getPixel(x, j);
  const Pixel oddPixel = inputImage.getPixel(x + 1, j);
  const int cell = colourCellOf(evenPixel);
  int even[kChannelCount];
  int odd[kChannelCount];
  for (int channel = 0; channel < kChannelCount; ++channel) {
    const std::int32_t shift = shiftTable[cell][channel];
    odd[channel] = channelOf(oddPixel, channel) - ditherHalf(shift);
    even[channel] = channelOf(evenPixel, channel) + ditherHalf(shift);
    odd[channel] = clampLevel(odd[channel]);
    even[channel] = clampLevel(even[channel]);
  }
  outputImage.setPixel(x, j, packRgb(even[0], even[1], even[2]));
  outputImage.setPixel(x + 1, j, packRgb(odd[0], odd[1], odd[2]));
}

// The line that belongs to no pair (the last of an odd number of lines) is
// kept as it is, without its alpha byte.
static void copyUnpairedLine() {
  if (lineCount % 2 == 0) return;
  const std::int32_t line = lineCount - 1;
  for (std::int32_t j = 0; j < lineLength; ++j) {
    outputImage.setPixel(line, j, inputImage.getPixel(line, j) & 0x00FFFFFF);
  }
}

void performShift() {
  printNow("%s", kPerformShiftLabel);
  const std::int32_t interval = progressIntervalFor(lineCount);
  for (std::int32_t x = 0; x + 1 < lineCount; x += 2) {
    for (std::int32_t j = 0; j < lineLength; ++j) correctPosition(x, j);
    if (dotDue(x, interval)) printNow(".");
  }
  copyUnpairedLine();
  printNow("\n");
}
