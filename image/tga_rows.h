#pragma once

// Conversions between the pixel bytes of a TGA file and Pixels, each in a
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
