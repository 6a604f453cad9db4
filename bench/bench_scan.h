#pragma once

// The benchmark's striped scans, as a function of (line, position): lines run
// along the longer side, as the tool takes them, and every odd line carries
// the scanner's offset. A landscape scan and the portrait scan of swapped
// size are therefore exact transposes of each other.

#include <cstdint>

namespace benchscan {

// The scanner's offset on every odd line, in colour levels.
constexpr int kStripeRed = 6;
constexpr int kStripeGreen = 3;
constexpr int kStripeBlue = 8;

inline std::uint32_t hashOf(std::uint32_t line, std::uint32_t position) {
  std::uint32_t h = line * 0x9E3779B1u ^ position * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

inline int level(int value) { return value < 0 ? 0 : (value > 255 ? 255 : value); }

// The colour (0x00RRGGBB) at one position of one line: broad gradients, a
// band of repeating tiles, a saturated bright disc, film grain and the stripes.
inline std::uint32_t colourAt(int line, int position, int lineCount, int lineLength) {
  const std::uint32_t grain = hashOf(static_cast<std::uint32_t>(line), static_cast<std::uint32_t>(position));
  const int noise = static_cast<int>(grain & 7) - 3;
  const bool odd = (line & 1) != 0;
  int red = 30 + static_cast<int>(std::int64_t{position} * 190 / (lineLength + 1));
  int green = 50 + static_cast<int>(std::int64_t{line} * 160 / (lineCount + 1));
  int blue = 40 + ((position / 97 + line / 61) % 4) * 45;
  const std::int64_t dx = position - lineLength / 2;
  const std::int64_t dy = line - lineCount / 3;
  if (dx * dx + dy * dy < std::int64_t{lineCount} * lineCount / 25) {
    red = 252;
    green = 4;
  }
  red = level(red + noise + (odd ? kStripeRed : 0));
  green = level(green + noise + (odd ? kStripeGreen : 0));
  blue = level(blue + static_cast<int>((grain >> 3) & 3) - 1 + (odd ? kStripeBlue : 0));
  return static_cast<std::uint32_t>(red) << 16 | static_cast<std::uint32_t>(green) << 8 |
         static_cast<std::uint32_t>(blue);
}

// The colour of column x of storage row y of a width x height scan.
inline std::uint32_t colourOfPixel(int x, int y, int width, int height) {
  return width > height ? colourAt(y, x, height, width) : colourAt(x, y, width, height);
}

}  // namespace benchscan
