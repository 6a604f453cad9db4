#pragma once

// Pictures for the tests: TGA files made byte by byte, striped test pictures
// and what the tool makes of the simplest of them, and a picture held in
// memory with the stages' view of lines, for the tests' own literal stages.

#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"

using Bytes = std::vector<unsigned char>;

// The 18-byte header of an uncompressed TGA file.
Bytes tgaHeader(int width, int height, int depth, int descriptor, int imageType = 2);

// A whole TGA file: header plus the pixels given in file order (first file
// row first), 3 or 4 bytes each by depth.
Bytes tgaFile(int width, int height, int depth, int descriptor, const std::vector<Pixel>& fileOrderPixels);

// A deterministic "photograph": smooth shapes, texture and stripes on every
// second column (or row), with the alpha byte set when alpha is true.
std::vector<Pixel> stripedPicture(int width, int height, bool stripesOnColumns, std::uint32_t seed,
                                  bool alpha = false);

// The rounding generator's state `draws` steps after `state`, stepped one by one.
inline std::uint32_t ditherStateAfter(std::uint32_t state, std::uint64_t draws) {
  for (std::uint64_t i = 0; i < draws; ++i) state = state * 1784527343u + 832153471u;
  return state;
}

// Three lines of 100 pixels, the middle one 10 levels above its black
// neighbours (lines are rows when landscape), in file order.
std::vector<Pixel> brighterMiddle(bool landscape);
// What the tool makes of that picture when the generator stands at *state
// before it: every table entry of black is 2547 (4.97 levels per half), so
// each half correction is 4 or 5 levels as the generator decides. Advances
// *state and adds the corrections' magnitudes to *total.
std::vector<Pixel> correctedBrighterMiddle(bool landscape, std::uint32_t* state, long long* total);

// The builds of the pixel loops this processor runs: the baseline one
// (false), and the wide vector one (true) where the processor has it.
std::vector<bool> vectorCodes();


// A colour level clamped to 0..255.
inline int clampLevel(int value) { return value < 0 ? 0 : (value > 255 ? 255 : value); }

// A picture in memory: storage row 0 is the bottom row, and the pixel in
// column x of row y is pixels[x + y * width]. With `transposed` set, getPixel
// and setPixel swap their coordinates, so that (line, position) addresses a
// row as a line; outside the picture reads give 0 and writes are dropped.
struct Raster {
  Raster(int newWidth = 0, int newHeight = 0)
      : width(newWidth), height(newHeight), pixels(static_cast<std::size_t>(newWidth) * static_cast<std::size_t>(newHeight)) {}
  Pixel getPixel(int a, int b) const;
  void setPixel(int a, int b, Pixel value);
  int width;
  int height;
  int transposed = 0;
  std::vector<Pixel> pixels;
};

// The picture as a TGA file of this depth (24: alpha dropped; 32: kept),
// stored bottom row first, or top row first when topDown.
Bytes tgaFileOf(const Raster& picture, int depth, bool topDown = false);
// The pixels of a 24-bit bottom-up TGA file as the tool writes it.
Raster rasterOfSavedFile(const Bytes& file);
