#include "image/image.h"

// Defined before the two images so that it is constructed before them and
// destroyed after them.
std::unique_ptr<unsigned char[]> writeBuffer;

Image inputImage;
Image outputImage;

Image::Image() {
  if (!writeBuffer) writeBuffer.reset(new unsigned char[kWriteBufferSize]);
}

Image::~Image() {
  closeTga();
  discardTga();
}

void Image::resize(std::int32_t newWidth, std::int32_t newHeight) {
  width = newWidth;
  height = newHeight;
}
