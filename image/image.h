#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// A colour as stored in a TGA file: bits 0-7 blue, 8-15 green, 16-23 red,
// 24-31 alpha. A pixel's file bytes read as a little-endian word are its Pixel.
using Pixel = std::uint32_t;

inline int redOf(Pixel p) { return static_cast<int>((p >> 16) & 0xFF); }
inline int greenOf(Pixel p) { return static_cast<int>((p >> 8) & 0xFF); }
inline int blueOf(Pixel p) { return static_cast<int>(p & 0xFF); }
inline Pixel packRgb(int red, int green, int blue) {
  return static_cast<Pixel>(red) << 16 | static_cast<Pixel>(green) << 8 | static_cast<Pixel>(blue);
}

// Size of the TGA writer's blocks, and of writeBuffer: one block plus slack
// for the bytes of the pixel that crosses the block's end.
constexpr std::size_t kWriteBlockSize = 65536;
constexpr std::size_t kWriteBufferSize = kWriteBlockSize + 20;

// A raster of Pixels. Storage row 0 is the bottom row of the picture; the
// pixel in column x of row y is pixels[x + y * width].
//
// With `transposed` non-zero, getPixel and setPixel swap their coordinates,
// so that the stages can walk rows as if they were columns without copying.
// Reads outside the picture give 0; writes outside are dropped.
class Image {
 public:
  Image();
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // Replaces the storage by a fresh all-zero width x height picture. Returns
  // false, leaving an empty 0 x 0 Image, when the storage cannot be had (a
  // negative size, or not enough memory). The storage comes from
  // platformAllocatePixelStorage, with huge pages as hugePagesForPixels says.
  bool resize(std::int32_t newWidth, std::int32_t newHeight);
  void clear();
  void release();

  Pixel getPixel(std::int32_t a, std::int32_t b) const {
    const std::int32_t x = transposed ? b : a;
    const std::int32_t y = transposed ? a : b;
    if (x < 0 || y < 0 || x >= width || y >= height) return 0;
    return pixels[x + static_cast<std::ptrdiff_t>(y) * width];
  }
  void setPixel(std::int32_t a, std::int32_t b, Pixel value) {
    const std::int32_t x = transposed ? b : a;
    const std::int32_t y = transposed ? a : b;
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    pixels[x + static_cast<std::ptrdiff_t>(y) * width] = value;
  }

  // Reads a 24- or 32-bit uncompressed true-colour TGA file (tga.cpp).
  // Returns 0 on success; 1 when the file cannot be opened, is not a file
  // of that kind, or holds less pixel data than its header promises.
  int loadTga(const char* path);
  // Writes the picture as a 24-bit TGA file, replacing the file only once it
  // is completely written. Returns 0 on success, 1 on any failure, in which
  // case an existing file of that name is left as it was.
  int saveTga(const char* path) const;

  std::size_t pixelCount() const {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  }

  Pixel* pixels = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t transposed = 0;
};

// Writes image as a 24-bit TGA file to an open stream: the header, then the
// pixels gathered in writeBuffer and handed over in blocks of exactly
// kWriteBlockSize bytes, and one shorter block for the rest. Returns false
// when any write or the flush fails.
bool writeTgaTo(const Image& image, std::FILE* file);

// The TGA writer's output buffer, allocated by the first Image constructed.
extern std::unique_ptr<unsigned char[]> writeBuffer;

// Whether Image::resize asks the system to back large pixel storage with huge
// pages (platformAllocatePixelStorage); the pixels are the same either way.
// Off unless the build sets LOMVERA_HUGE_PAGES (CMake option of that name):
// huge pages spare the page faults, but on virtual machines that hand free
// memory back to their host, fresh huge pages come slower than small ones.
extern bool hugePagesForPixels;

// The picture being corrected and its corrected copy.
extern Image inputImage;
extern Image outputImage;
