#include "image/image.h"

#include <cstring>

#include "platform/platform.h"

// Defined before the two images so that it is constructed before them and
// destroyed after them.
std::unique_ptr<unsigned char[]> writeBuffer;

#if defined(LOMVERA_HUGE_PAGES)
bool hugePagesForPixels = true;
#else
bool hugePagesForPixels = false;
#endif

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
    // The storage comes zero-filled, on large pictures straight from fresh
    // zero pages, so no clear is needed.
    if (count > SIZE_MAX / sizeof(Pixel)) return false;
    pixels = static_cast<Pixel*>(platformAllocatePixelStorage(count * sizeof(Pixel), hugePagesForPixels));
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
  platformFreePixelStorage(pixels, pixelCount() * sizeof(Pixel));
  pixels = nullptr;
  width = 0;
  height = 0;
}
