// Draws a deterministic striped scan of any size for the benchmark
// (bench_scan.h), as a 24-bit file or, with the option 32, a 32-bit file with
// alpha; rows bottom-up, or with the option top, top-down. A top-down file
// holds the same picture as the bottom-up one: only the row order in the file
// and the descriptor bit differ.
//
//   make_bench_scan width height output.tga [32] [top]
//
// Rows are written one at a time, so it needs little memory whatever the size.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_scan.h"

namespace {

constexpr int kMaxDimension = 32767;

void putWord(unsigned char* bytes, int offset, int value) {
  bytes[offset] = static_cast<unsigned char>(value & 0xFF);
  bytes[offset + 1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

}  // namespace

int main(int argc, char** argv) {
  bool alpha = false;
  bool topDown = false;
  bool optionsKnown = argc >= 4;
  for (int i = 4; i < argc; ++i) {
    if (std::strcmp(argv[i], "32") == 0) {
      alpha = true;
    } else if (std::strcmp(argv[i], "top") == 0) {
      topDown = true;
    } else {
      optionsKnown = false;
    }
  }
  if (!optionsKnown) {
    std::printf("usage: make_bench_scan width height output.tga [32] [top]\n");
    return 1;
  }
  const int width = std::atoi(argv[1]);
  const int height = std::atoi(argv[2]);
  if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension) {
    std::printf("width and height must lie between 1 and %d\n", kMaxDimension);
    return 1;
  }
  std::FILE* file = std::fopen(argv[3], "wb");
  if (file == nullptr) {
    std::printf("cannot create %s\n", argv[3]);
    return 1;
  }
  unsigned char header[18] = {};
  header[2] = 2;
  putWord(header, 12, width);
  putWord(header, 14, height);
  header[16] = alpha ? 32 : 24;
  header[17] = static_cast<unsigned char>((alpha ? 0x08 : 0x00) | (topDown ? 0x20 : 0x00));
  std::fwrite(header, 1, sizeof header, file);

  const std::size_t bytesPerPixel = alpha ? 4 : 3;
  std::vector<unsigned char> row(static_cast<std::size_t>(width) * bytesPerPixel);
  // y counts picture rows from the bottom; a top-down file starts at the top.
  for (int fileRow = 0; fileRow < height; ++fileRow) {
    const int y = topDown ? height - 1 - fileRow : fileRow;
    unsigned char* out = row.data();
    for (int x = 0; x < width; ++x) {
      const std::uint32_t colour = benchscan::colourOfPixel(x, y, width, height);
      out[0] = static_cast<unsigned char>(colour);
      out[1] = static_cast<unsigned char>(colour >> 8);
      out[2] = static_cast<unsigned char>(colour >> 16);
      if (alpha) out[3] = static_cast<unsigned char>(0x80 | (x & 0x7F));
      out += bytesPerPixel;
    }
    std::fwrite(row.data(), 1, row.size(), file);
  }
  const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
  if (std::fclose(file) != 0 || !written) {
    std::printf("cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
