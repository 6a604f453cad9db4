#include "test_pictures.h"

#include <random>

#include "platform/wide_vectors.h"

Bytes tgaHeader(int width, int height, int depth, int descriptor, int imageType) {
  Bytes header(18, 0);
  header[2] = static_cast<unsigned char>(imageType);
  header[12] = static_cast<unsigned char>(width & 0xFF);
  header[13] = static_cast<unsigned char>((width >> 8) & 0xFF);
  header[14] = static_cast<unsigned char>(height & 0xFF);
  header[15] = static_cast<unsigned char>((height >> 8) & 0xFF);
  header[16] = static_cast<unsigned char>(depth);
  header[17] = static_cast<unsigned char>(descriptor);
  return header;
}

Bytes tgaFile(int width, int height, int depth, int descriptor, const std::vector<Pixel>& fileOrderPixels) {
  Bytes file = tgaHeader(width, height, depth, descriptor);
  for (Pixel p : fileOrderPixels) {
    for (int byte = 0; byte < depth / 8; ++byte) file.push_back(static_cast<unsigned char>(p >> (8 * byte)));
  }
  return file;
}

std::vector<Pixel> stripedPicture(int width, int height, bool stripesOnColumns, std::uint32_t seed, bool alpha) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> grain(-3, 3);
  std::vector<Pixel> pixels;
  pixels.reserve(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int line = stripesOnColumns ? x : y;
      const int stripe = (line % 2) ? 5 : 0;
      int red = 40 + (x * 180) / (width + 1) + grain(random) + stripe;
      int green = 60 + (y * 150) / (height + 1) + grain(random) + stripe + 2;
      int blue = ((x / 7 + y / 5) % 3) * 60 + 30 + grain(random) - stripe;
      if ((x - width / 2) * (x - width / 2) + (y - height / 3) * (y - height / 3) < width * height / 16) {
        red = 250 + stripe;  // a bright disc that saturates: exercises clamping
        green = 3 - stripe;
      }
      auto level = [](int v) { return static_cast<Pixel>(v < 0 ? 0 : (v > 255 ? 255 : v)); };
      const Pixel a = alpha ? static_cast<Pixel>(random() & 0xFF) << 24 : 0;
      pixels.push_back(a | level(red) << 16 | level(green) << 8 | level(blue));
    }
  }
  return pixels;
}

std::vector<Pixel> brighterMiddle(bool landscape) {
  const int width = landscape ? 100 : 3;
  std::vector<Pixel> pixels;
  for (int i = 0; i < 300; ++i) {
    const int line = landscape ? i / width : i % width;
    pixels.push_back(line == 1 ? 0x000A0A0A : 0);
  }
  return pixels;
}

std::vector<Pixel> correctedBrighterMiddle(bool landscape, std::uint32_t* state, long long* total) {
  const int width = landscape ? 100 : 3;
  auto half = [state] {
    *state = ditherStateAfter(*state, 1);
    return 4 + ((2547 & 511) > ((*state >> 5) & 511) ? 1 : 0);
  };
  std::vector<Pixel> expected(300, 0);
  for (int j = 0; j < 100; ++j) {
    int even[3], odd[3];
    for (int channel = 0; channel < 3; ++channel) {
      const int oddShift = half();
      const int evenShift = half();
      *total += oddShift + evenShift;
      odd[channel] = 10 - oddShift;
      even[channel] = evenShift;
    }
    const auto at = [&](int line) { return static_cast<std::size_t>(landscape ? j + line * width : line + j * width); };
    expected[at(0)] = packRgb(even[0], even[1], even[2]);
    expected[at(1)] = packRgb(odd[0], odd[1], odd[2]);
  }
  return expected;
}

std::vector<bool> vectorCodes() {
  std::vector<bool> codes{false};
  if (processorRunsWideVectorCode()) codes.push_back(true);
  return codes;
}

Pixel Raster::getPixel(int a, int b) const {
  const int x = transposed ? b : a;
  const int y = transposed ? a : b;
  if (x < 0 || y < 0 || x >= width || y >= height) return 0;
  return pixels[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * static_cast<std::size_t>(width)];
}

void Raster::setPixel(int a, int b, Pixel value) {
  const int x = transposed ? b : a;
  const int y = transposed ? a : b;
  if (x < 0 || y < 0 || x >= width || y >= height) return;
  pixels[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * static_cast<std::size_t>(width)] = value;
}

Bytes tgaFileOf(const Raster& picture, int depth, bool topDown) {
  std::vector<Pixel> fileOrder;
  fileOrder.reserve(picture.pixels.size());
  for (int i = 0; i < picture.height; ++i) {
    const int row = topDown ? picture.height - 1 - i : i;
    const Pixel* from = picture.pixels.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(picture.width);
    fileOrder.insert(fileOrder.end(), from, from + picture.width);
  }
  const int descriptor = (depth == 32 ? 0x08 : 0x00) | (topDown ? 0x20 : 0x00);
  return tgaFile(picture.width, picture.height, depth, descriptor, fileOrder);
}

Raster rasterOfSavedFile(const Bytes& file) {
  if (file.size() < 18) return Raster();
  Raster picture(file[12] | file[13] << 8, file[14] | file[15] << 8);
  for (std::size_t i = 0; i < picture.pixels.size() && 18 + 3 * i + 2 < file.size(); ++i)
    picture.pixels[i] = packRgb(file[18 + 3 * i + 2], file[18 + 3 * i + 1], file[18 + 3 * i]);
  return picture;
}
