#include "reference_stages.h"

#include <cstdlib>
#include <cstring>

#include "console_text.h"
#include "platform/console.h"

std::int64_t referenceSums[kCellCount][kChannelCount];
std::int64_t referenceCounts[kCellCount][kChannelCount];
std::int32_t referenceTable[kCellCount][kChannelCount];
std::uint32_t referenceDitherState = kDitherSeed;
std::int64_t referenceShiftTotal = 0;

namespace {

int channelOf(Pixel p, int channel) { return static_cast<int>((p >> (16 - 8 * channel)) & 0xFF); }

}  // namespace

void referenceComputeShift(const Raster& input) {
  std::memset(referenceSums, 0, sizeof referenceSums);
  std::memset(referenceCounts, 0, sizeof referenceCounts);
  printNow("computing shift  ");
  if (lineCount > 2) {
    for (std::int32_t i = 0; i + 2 <= lineCount - 1; i += 2) {
      for (std::int32_t j = 0; j < lineLength; ++j) {
        const Pixel a = input.getPixel(i, j);
        const Pixel b = input.getPixel(i + 1, j);
        const Pixel c = input.getPixel(i + 2, j);
        int difference = 0;
        for (int channel = 0; channel < kChannelCount; ++channel)
          difference += std::abs(channelOf(b, channel) - channelOf(a, channel));
        if (difference > 150) continue;
        const int cell = (channelOf(a, 0) >> 3) * 1024 + (channelOf(a, 1) >> 3) * 32 + (channelOf(a, 2) >> 3);
        for (int channel = 0; channel < kChannelCount; ++channel) {
          referenceSums[cell][channel] += 2 * channelOf(b, channel) - channelOf(a, channel) - channelOf(c, channel);
          referenceCounts[cell][channel] += 2;
        }
      }
      if (dotAfterStep(i, lineCount)) printNow(".");
    }
  }
  printNow("\n");
}

void referenceBuildShiftTable() {
  printNow("bluring tables   ");
  for (int red5 = 0; red5 < 32; ++red5) {
    for (int green5 = 0; green5 < 32; ++green5) {
      for (int blue5 = 0; blue5 < 32; ++blue5) {
        const int cell = red5 * 1024 + green5 * 32 + blue5;
        for (int channel = 0; channel < kChannelCount; ++channel) {
          // Floating point, truncated toward zero, as the table was first
          // computed; the quotient is exact well beyond any picture's sums.
          referenceTable[cell][channel] = static_cast<std::int32_t>(
              static_cast<double>(referenceSums[cell][channel]) * 256.0 /
              (static_cast<double>(referenceCounts[cell][channel]) + 1.0));
        }
      }
    }
    printNow(".");
  }
  printNow("\n");
}

std::int32_t referenceDitherHalf(std::int32_t value) {
  referenceDitherState = ditherStateAfter(referenceDitherState, 1);
  const std::int32_t threshold = static_cast<std::int32_t>((referenceDitherState >> 5) & 511);
  const std::int32_t magnitude = value < 0 ? -value : value;
  std::int32_t q = magnitude >> 9;
  if ((magnitude & 511) > threshold) q += 1;
  referenceShiftTotal += q;
  return value > 0 ? q : -q;
}

void referencePerformShift(const Raster& input, Raster& output) {
  printNow("performing shift ");
  if (lineCount > 1) {
    for (std::int32_t x = 0; x < lineCount - 1; x += 2) {
      for (std::int32_t j = 0; j < lineLength; ++j) {
        const Pixel evenPixel = input.getPixel(x, j);
        const Pixel oddPixel = input.getPixel(x + 1, j);
        int even[kChannelCount];
        int odd[kChannelCount];
        for (int channel = 0; channel < kChannelCount; ++channel) {
          even[channel] = channelOf(evenPixel, channel);
          odd[channel] = channelOf(oddPixel, channel);
        }
        const int cell = (even[0] >> 3) * 1024 + (even[1] >> 3) * 32 + (even[2] >> 3);
        for (int channel = 0; channel < kChannelCount; ++channel) {
          const std::int32_t s = referenceTable[cell][channel];
          odd[channel] -= referenceDitherHalf(s);
          even[channel] += referenceDitherHalf(s);
          odd[channel] = clampLevel(odd[channel]);
          even[channel] = clampLevel(even[channel]);
        }
        output.setPixel(x, j, static_cast<Pixel>(even[0] * 65536 + even[1] * 256 + even[2]));
        output.setPixel(x + 1, j, static_cast<Pixel>(odd[0] * 65536 + odd[1] * 256 + odd[2]));
      }
      if (dotAfterStep(x, lineCount)) printNow(".");
    }
  }
  // The line that belongs to no pair is kept as it is, without its alpha.
  if (lineCount % 2 == 1) {
    for (std::int32_t j = 0; j < lineLength; ++j)
      output.setPixel(lineCount - 1, j, input.getPixel(lineCount - 1, j) & 0x00FFFFFF);
  }
  printNow("\n");
}
