// Reading and writing uncompressed true-colour TGA files.
//
// The header is 18 bytes, all fields little-endian:
//
//   offset size field                  read                        written
//   0      1    ID length              skipped after the header     0
//   1      1    colour-map type        non-zero: a map follows      0
//   2      1    image type             must be 2 (true colour)      2
//   3      1    map first index, low   must be 0                    0
//   4      1    map first index, high  ignored                      0
//   5      2    colour-map length      entries to skip              0
//   7      1    colour-map entry bits  bits per entry to skip       0
//   8      2    X origin               ignored                      0
//   10     2    Y origin               ignored                      0
//   12     2    width                  0 to 32767                   width
//   14     2    height                 0 to 32767                   height
//   16     1    pixel depth            24 or 32                     24
//   17     1    image descriptor       see below                    0
//
// After the header come the image ID (ID length bytes), the colour map
// (length x whole bytes per entry, when the map type is non-zero), and then
// the pixel data: height rows of width pixels with no padding, each pixel
// blue, green, red (and alpha in 32-bit files), rows bottom-up unless
// descriptor bit 5 (0x20) says top-down.
//
// Bytes 16-17 read as one word, with the top-down bit 0x2000 cleared, must be
// 0x0820 (32 bits with 8 alpha bits) or 0x0018 (24 bits, no alpha bits).
// Everything else is refused: other depths, a 32-bit file without 8 alpha
// bits, a 24-bit file with alpha bits, right-to-left pixel order (0x10) and
// interleaved rows (0x40, 0x80).
//
// The writer produces the header 00 00 02 00 00 00 00 00 00 00 00 00, width,
// height, 18 00, followed by the pixels bottom row first, three bytes each.

#include "image/image.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/wide_vectors.h"

#if LOMVERA_HAS_WIDE_VECTOR_CODE
#include <immintrin.h>
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#error "32-bit TGA rows are read straight into Pixel storage, which needs a little-endian machine"
#endif

namespace {

constexpr std::size_t kHeaderSize = 18;
constexpr unsigned kTrueColourType = 0x0002;  // word at bytes 2-3: type 2, byte 3 zero
constexpr unsigned kTopDownBit = 0x2000;      // descriptor bit 5, in the word at bytes 16-17
constexpr unsigned kFormat32 = 0x0820;        // depth 32, 8 alpha bits
constexpr unsigned kFormat24 = 0x0018;        // depth 24, no alpha bits
constexpr unsigned kMaxDimension = 32767;

unsigned wordAt(const unsigned char* bytes, std::size_t offset) {
  return static_cast<unsigned>(bytes[offset]) | static_cast<unsigned>(bytes[offset + 1]) << 8;
}

void putWord(unsigned char* bytes, std::size_t offset, unsigned value) {
  bytes[offset] = static_cast<unsigned char>(value & 0xFF);
  bytes[offset + 1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

// What the header says about the file, once it has been accepted.
struct TgaLayout {
  std::int32_t width;
  std::int32_t height;
  bool topDown;
  unsigned bytesPerPixel;
  std::uint64_t pixelDataOffset;
};

// Checks the header against what the reader accepts and against the file's
// length. Returns false for a refused header or a file too short to hold all
// the pixel data the header promises.
bool parseHeader(const unsigned char* header, std::uint64_t fileSize, TgaLayout* layout) {
  if (wordAt(header, 2) != kTrueColourType) return false;
  const unsigned format = wordAt(header, 16) & ~kTopDownBit;
  if (format != kFormat32 && format != kFormat24) return false;
  const unsigned width = wordAt(header, 12);
  const unsigned height = wordAt(header, 14);
  if (width > kMaxDimension || height > kMaxDimension) return false;

  const std::uint64_t idLength = header[0];
  const bool hasColourMap = header[1] != 0;
  const std::uint64_t mapLength = wordAt(header, 5);
  const std::uint64_t mapEntryBytes = (header[7] + 7u) / 8u;
  const std::uint64_t mapBytes = hasColourMap ? mapLength * mapEntryBytes : 0;

  layout->width = static_cast<std::int32_t>(width);
  layout->height = static_cast<std::int32_t>(height);
  layout->topDown = (wordAt(header, 16) & kTopDownBit) != 0;
  layout->bytesPerPixel = format == kFormat32 ? 4 : 3;
  layout->pixelDataOffset = kHeaderSize + idLength + mapBytes;
  const std::uint64_t pixelBytes = std::uint64_t{width} * height * layout->bytesPerPixel;
  return fileSize >= layout->pixelDataOffset && fileSize - layout->pixelDataOffset >= pixelBytes;
}

std::int32_t storageRow(const TgaLayout& layout, std::int32_t fileRow) {
  return layout.topDown ? layout.height - 1 - fileRow : fileRow;
}

bool readPixels32(std::FILE* file, const TgaLayout& layout, Pixel* pixels) {
  const std::size_t rowBytes = static_cast<std::size_t>(layout.width) * 4;
  for (std::int32_t i = 0; i < layout.height; ++i) {
    Pixel* row = pixels + static_cast<std::size_t>(storageRow(layout, i)) * layout.width;
    if (std::fread(row, 1, rowBytes, file) != rowBytes) return false;
  }
  return true;
}

// Widens `count` 3-byte pixels to Pixels with alpha 0. The source holds one
// byte more than the pixels need, so that each may be taken as a 4-byte load.
LOMVERA_ALWAYS_INLINE void widenPixels(const unsigned char* bytes, Pixel* pixels, std::int32_t count) {
  for (std::int32_t x = 0; x < count; ++x) {
    Pixel value;
    std::memcpy(&value, bytes + static_cast<std::size_t>(x) * 3, sizeof value);
    pixels[x] = value & 0x00FFFFFF;
  }
}

void widenPixelsBaseline(const unsigned char* bytes, Pixel* pixels, std::int32_t count) {
  widenPixels(bytes, pixels, count);
}

#if LOMVERA_HAS_WIDE_VECTOR_CODE
// The wide build: eight pixels at a time with a byte shuffle, written with
// streaming stores, which skip reading the storage into the cache first; the
// rows are not read again before they would have left it anyway.
LOMVERA_WIDE_VECTOR_CODE void widenPixelsWide(const unsigned char* bytes, Pixel* pixels, std::int32_t count) {
  constexpr std::uintptr_t kVectorAlignment = 32;
  std::int32_t x = 0;
  while (x < count && reinterpret_cast<std::uintptr_t>(pixels + x) % kVectorAlignment != 0) ++x;
  widenPixels(bytes, pixels, x);
  // Each half takes four 3-byte pixels from a 16-byte load; the fourth byte
  // of each pixel becomes 0.
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  for (; x + 8 <= count; x += 8) {
    const unsigned char* from = bytes + static_cast<std::size_t>(x) * 3;
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 12));
    const __m256i widened = _mm256_shuffle_epi8(_mm256_set_m128i(high, low), spread);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(pixels + x), widened);
  }
  _mm_sfence();
  widenPixels(bytes + static_cast<std::size_t>(x) * 3, pixels + x, count - x);
}
#else
void widenPixelsWide(const unsigned char* bytes, Pixel* pixels, std::int32_t count) {
  widenPixels(bytes, pixels, count);
}
#endif

bool readPixels24(std::FILE* file, const TgaLayout& layout, Pixel* pixels) {
  const std::size_t rowBytes = static_cast<std::size_t>(layout.width) * 3;
  // One byte per pixel more than a row needs, so that every pixel can be
  // taken as a 4-byte load and masked to its three colour bytes.
  std::vector<unsigned char> buffer(static_cast<std::size_t>(layout.width) * 4);
  for (std::int32_t i = 0; i < layout.height; ++i) {
    if (std::fread(buffer.data(), 1, rowBytes, file) != rowBytes) return false;
    Pixel* row = pixels + static_cast<std::size_t>(storageRow(layout, i)) * layout.width;
    if (wideVectorsInUse) {
      widenPixelsWide(buffer.data(), row, layout.width);
    } else {
      widenPixelsBaseline(buffer.data(), row, layout.width);
    }
  }
  return true;
}

// Stores the blue, green and red bytes of `count` Pixels, three bytes each.
LOMVERA_ALWAYS_INLINE void narrowPixels(const Pixel* pixels, unsigned char* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    bytes[3 * i] = static_cast<unsigned char>(pixels[i]);
    bytes[3 * i + 1] = static_cast<unsigned char>(pixels[i] >> 8);
    bytes[3 * i + 2] = static_cast<unsigned char>(pixels[i] >> 16);
  }
}

void narrowPixelsBaseline(const Pixel* pixels, unsigned char* bytes, std::size_t count) {
  narrowPixels(pixels, bytes, count);
}
LOMVERA_WIDE_VECTOR_CODE void narrowPixelsWide(const Pixel* pixels, unsigned char* bytes, std::size_t count) {
  narrowPixels(pixels, bytes, count);
}

bool skipBytes(std::FILE* file, std::uint64_t count) {
  unsigned char scratch[4096];
  while (count > 0) {
    const std::size_t chunk = count < sizeof scratch ? static_cast<std::size_t>(count) : sizeof scratch;
    if (std::fread(scratch, 1, chunk, file) != chunk) return false;
    count -= chunk;
  }
  return true;
}

int readTga(Image* image, std::FILE* file, std::uint64_t fileSize) {
  unsigned char header[kHeaderSize];
  if (std::fread(header, 1, kHeaderSize, file) != kHeaderSize) return 1;
  TgaLayout layout{};
  if (!parseHeader(header, fileSize, &layout)) return 1;
  if (!skipBytes(file, layout.pixelDataOffset - kHeaderSize)) return 1;
  if (layout.width != image->width || layout.height != image->height) {
    if (!image->resize(layout.width, layout.height)) return 1;
  }
  const bool complete = layout.bytesPerPixel == 4 ? readPixels32(file, layout, image->pixels)
                                                  : readPixels24(file, layout, image->pixels);
  return complete ? 0 : 1;
}

}  // namespace

bool writeTgaTo(const Image& image, std::FILE* file) {
  unsigned char header[kHeaderSize] = {};
  putWord(header, 2, kTrueColourType);
  putWord(header, 12, static_cast<unsigned>(image.width) & 0xFFFF);
  putWord(header, 14, static_cast<unsigned>(image.height) & 0xFFFF);
  putWord(header, 16, kFormat24);
  if (std::fwrite(header, 1, kHeaderSize, file) != kHeaderSize) return false;

  // The pixels go into writeBuffer three bytes each, from fill position 0.
  // Whenever a pixel takes the fill to a whole block or past it, the block
  // is written and the 0 to 2 bytes beyond it move to the start. The pixels
  // up to that point are converted in one run.
  unsigned char* buffer = writeBuffer.get();
  std::size_t fill = 0;
  const std::size_t count = image.pixelCount();
  for (std::size_t done = 0; done < count;) {
    const std::size_t toFullBlock = (kWriteBlockSize - fill + 2) / 3;
    const std::size_t run = count - done < toFullBlock ? count - done : toFullBlock;
    if (wideVectorsInUse) {
      narrowPixelsWide(image.pixels + done, buffer + fill, run);
    } else {
      narrowPixelsBaseline(image.pixels + done, buffer + fill, run);
    }
    fill += 3 * run;
    done += run;
    if (fill >= kWriteBlockSize) {
      if (std::fwrite(buffer, 1, kWriteBlockSize, file) != kWriteBlockSize) return false;
      fill -= kWriteBlockSize;
      std::memmove(buffer, buffer + kWriteBlockSize, fill);
    }
  }
  if (fill > 0 && std::fwrite(buffer, 1, fill, file) != fill) return false;
  return std::fflush(file) == 0 && std::ferror(file) == 0;
}

int Image::loadTga(const char* path) {
  std::uint64_t fileSize = 0;
  std::FILE* file = platformOpenInputFile(path, &fileSize);
  if (file == nullptr) return 1;
  transposed = 0;
  const int result = readTga(this, file, fileSize);
  std::fclose(file);
  return result;
}

int Image::saveTga(const char* path) const {
  std::string temporaryPath;
  bool replacesFile = false;
  std::FILE* file = platformCreateTemporaryBeside(path, &temporaryPath, &replacesFile);
  if (file == nullptr) return 1;
  // Unbuffered: each block goes to the file in one write, without a copy.
  std::setvbuf(file, nullptr, _IONBF, 0);
  bool written = writeTgaTo(*this, file);
  // Waiting for the disk costs as much as the whole correction of a large
  // scan, so it is done only where a crash could lose something: when an
  // existing file is replaced. A new output lost in a crash is made again.
  if (written && replacesFile) written = platformSyncFile(file);
  written = std::fclose(file) == 0 && written;
  if (written && platformReplaceFile(temporaryPath.c_str(), path)) return 0;
  platformRemoveFile(temporaryPath.c_str());
  return 1;
}
