#include "image/image.h"

#include <cstdlib>
#include <cstring>

// Defined before the two images so that it is constructed before them and
// destroyed after them.
std::unique_ptr<unsigned char[]> writeBuffer;

Image inputImage;
Image outputImage;

Image::Image() {
  if (!writeBuffer) writeBuffer.reset(new unsigned char[kWriteBufferSize]);
}

Image::~Image() { release(); }

bool Image::resize(std::int32_t newWidth, std::int32_t newHeight) {
  release();
  if (newWidth < 0 || newHeight < 0) return false;
  const std::size_t count = static_cast<std::size_t>(newWidth) * static_cast<std::size_t>(newHeight);
  if (count > 0) {
    // calloc hands back zeroed storage, on large pictures straight from
    // fresh zero pages, so the clear below costs nothing extra.
    pixels = static_cast<Pixel*>(std::calloc(count, sizeof(Pixel)));
    if (pixels == nullptr) return false;
  }
  width = newWidth;
  height = newHeight;
  return true;
}

void Image::clear() {
  if (pixels != nullptr) std::memset(pixels, 0, pixelCount() * sizeof(Pixel));
}

void Image::release() {
  std::free(pixels);
  pixels = nullptr;
  width = 0;
  height = 0;
}
