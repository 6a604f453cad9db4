// Draws the sample striped scan: a small landscape photograph as an
// interleaved-line scanner would deliver it, with every second row a little
// brighter and tinted. Usage: make_sample_scan output.tga

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "image/image.h"
#include "support/helpers.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 420;
// The scanner's offset on every second row, in colour levels.
constexpr int kStripeRed = 7;
constexpr int kStripeGreen = 4;
constexpr int kStripeBlue = 10;

struct Colour {
  double red, green, blue;
};

Colour mix(Colour a, Colour b, double t) {
  return {a.red + (b.red - a.red) * t, a.green + (b.green - a.green) * t, a.blue + (b.blue - a.blue) * t};
}

// A repeatable pseudo-random value in [-1, 1] for film grain.
double grain(std::uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return static_cast<double>(*state >> 8) / 8388608.0 - 1.0;
}

double ridge(double x, double base, double scale, double phase) {
  return base + scale * (0.55 * std::sin(x * 0.011 + phase) + 0.3 * std::sin(x * 0.029 + 2 * phase) +
                         0.15 * std::sin(x * 0.071 + 3 * phase));
}

// The scene at (x, y), y counted from the top.
Colour sceneAt(int x, int y) {
  const double horizon = kHeight * 0.62;
  Colour colour = mix({70, 110, 190}, {235, 205, 170}, y / horizon);
  const double sunDistance = std::hypot(x - kWidth * 0.7, y - kHeight * 0.3);
  if (sunDistance < 30) colour = {255, 240, 200};
  else if (sunDistance < 80) colour = mix({255, 225, 170}, colour, (sunDistance - 30) / 50);
  if (y > ridge(x, kHeight * 0.40, 40, 0.3)) colour = mix({95, 105, 135}, {120, 125, 150}, (y - kHeight * 0.4) / 80);
  if (y > ridge(x, kHeight * 0.52, 25, 1.7)) colour = mix({55, 80, 60}, {75, 100, 65}, std::fabs(std::sin(x * 0.05)));
  if (y > horizon) {
    // The lake mirrors the sky, darker and rippled.
    const double mirrored = std::fmin(2 * horizon - y + 3 * std::sin(y * 0.9), horizon - 1);
    colour = mix(sceneAt(x, static_cast<int>(std::fmax(mirrored, 0.0))), {30, 50, 70}, 0.45);
  }
  return colour;
}

int level(double value) { return value < 0 ? 0 : (value > 255 ? 255 : static_cast<int>(value + 0.5)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: make_sample_scan output.tga\n");
    return 1;
  }
  std::vector<Pixel> pixels(static_cast<std::size_t>(kWidth) * kHeight);
  std::uint32_t state = 12345;
  for (int y = 0; y < kHeight; ++y) {
    const bool brightRow = y % 2 == 1;
    for (int x = 0; x < kWidth; ++x) {
      const Colour c = sceneAt(x, y);
      const double noise = 4 * grain(&state);
      const int red = level(c.red + noise + (brightRow ? kStripeRed : 0));
      const int green = level(c.green + noise + (brightRow ? kStripeGreen : 0));
      const int blue = level(c.blue + noise + (brightRow ? kStripeBlue : 0));
      // Storage row 0 is the bottom row.
      pixels[static_cast<std::size_t>(kHeight - 1 - y) * kWidth + static_cast<std::size_t>(x)] = packRgb(red, green, blue);
    }
  }
  Image scan;
  scan.resize(kWidth, kHeight);
  scan.createTga(argv[1]);
  writePixels(scan, pixels.data(), pixels.size());
  if (scan.saveTga() != 0) {
    std::printf("cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("wrote %s (%d x %d)\n", argv[1], kWidth, kHeight);
  return 0;
}
