#pragma once

// What the tests, the fuzz target, the tools and the benchmark use beside
// the tool's own code: whole Pixels read from and written to TGA files, and
// the generator stepped draw by draw. None of it is part of the tool.
//
// The conversions between the pixel bytes of a TGA file and Pixels come in a
// baseline build and, where the processor has it, a wide vector build that
// gives the same bytes (platform/wide_vectors.h decides which runs).

#include <cstddef>
#include <cstdint>

#include "image/image.h"

// Widens `count` 3-byte pixels (blue, green, red) to Pixels with alpha 0.
// `bytes` must hold one byte more than the pixels, so that each pixel may be
// taken as a 4-byte load.
void widenPixels(const unsigned char* bytes, Pixel* pixels, std::size_t count);

// Widens the `count` 3-byte pixels that lie in the last three quarters of
// pixels' own storage, from byte `count` on, to Pixels with alpha 0 in
// place. Each pixel is written only over bytes that have already been read.
void widenPixelsInPlace(Pixel* pixels, std::size_t count);

// Stores the blue, green and red bytes of `count` Pixels, three bytes each.
void narrowPixels(const Pixel* pixels, unsigned char* bytes, std::size_t count);

// Reads storage rows first to first + count - 1 of `image` into rows
// (count x width Pixels), alpha kept (0 in 24-bit files), bottom row first.
// Fails as Image::readPixelBytes does.
bool readRows(Image& image, std::int32_t first, std::int32_t count, Pixel* rows);

// Appends `count` Pixels in storage order (rows bottom to top) to the output
// of `image`, three bytes each (Image::writeEncodedPixels).
void writePixels(Image& image, const Pixel* pixels, std::size_t count);

// Takes one generator step and rounds |value| / 512 with it (halfLevels,
// correction/generator.h); adds the result's magnitude to shiftTotal and
// returns it with the sign of value.
std::int32_t ditherHalf(std::int32_t value);
