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
//
// Pixels are read in runs of storage rows straight from their place in the
// file, so any run can be read at any time and as often as needed; the file
// stays open from loadTga to closeTga.

#include "image/image.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kHeaderSize = 18;
constexpr unsigned kTrueColourType = 0x0002;  // word at bytes 2-3: type 2, byte 3 zero
constexpr unsigned kRunLengthType = 10;       // true colour, run-length encoded
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
// length. Returns why a header is refused or the file is too short to hold
// all the pixel data the header promises; no failure when it is accepted.
FailureReason parseHeader(const unsigned char* header, std::uint64_t fileSize, TgaLayout* layout) {
  if (header[2] == kRunLengthType) return FailureReason{Failure::kRunLength};
  // Colour-mapped (1, run-length 9) and greyscale (3, run-length 11).
  const bool mappedOrGrey = header[2] == 1 || header[2] == 3 || header[2] == 9 || header[2] == 11;
  if (mappedOrGrey) return FailureReason{Failure::kMappedOrGrey, header[2]};
  if (wordAt(header, 2) != kTrueColourType) return FailureReason{Failure::kNotTga};
  if (header[16] != 24 && header[16] != 32) return FailureReason{Failure::kBitsPerPixel, header[16]};
  const unsigned format = wordAt(header, 16) & ~kTopDownBit;
  if (format != kFormat32 && format != kFormat24) return FailureReason{Failure::kPixelLayout, header[17]};
  const unsigned width = wordAt(header, 12);
  const unsigned height = wordAt(header, 14);
  if (width > kMaxDimension || height > kMaxDimension) return FailureReason{Failure::kTooWide};

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
  const std::uint64_t needed = layout->pixelDataOffset + std::uint64_t{width} * height * layout->bytesPerPixel;
  return fileSize < needed ? FailureReason{Failure::kShort, fileSize, needed} : FailureReason{};
}

}  // namespace

int Image::loadTga(const char* path, FailureReason* why) {
  std::uint64_t fileSize = 0;
  // Cannot be read, unless the opening or the header tells more.
  FailureReason refused{Failure::kCannotRead};
  std::FILE* file = platformOpenInputFile(path, &fileSize, &refused);
  unsigned char header[kHeaderSize];
  TgaLayout layout{};
  FileStamp stamp{};
  if (file != nullptr && fileSize < kHeaderSize) {
    refused = FailureReason{Failure::kNotTga};
  } else if (file != nullptr && platformReadAt(file, 0, header, kHeaderSize) && platformStampOf(file, &stamp)) {
    refused = parseHeader(header, fileSize, &layout);
  }
  if (refused.kind != Failure::kNone) {
    if (file != nullptr) std::fclose(file);
    transposed = 0;
    if (why != nullptr) *why = refused;
    return 1;
  }
  closeTga();
  input_ = file;
  stamp_ = stamp;
  readFailed_ = false;
  failedFrom_ = kNoFailedRow;
  pixelDataOffset_ = layout.pixelDataOffset;
  bytesPerPixel_ = layout.bytesPerPixel;
  topDown_ = layout.topDown;
  width = layout.width;
  height = layout.height;
  transposed = 0;
  return 0;
}

bool Image::readPixelBytes(std::int32_t first, std::int32_t count, unsigned char* bytes) {
  if (input_ == nullptr || std::int64_t{first} + count > failedFrom_.load()) return false;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * bytesPerPixel_;
  const std::size_t runBytes = rowBytes * static_cast<std::size_t>(count > 0 ? count : 0);
  if (runBytes == 0) return true;
  // The rows lie together in the file: in storage order when the file is
  // stored bottom row first, in reverse order when top row first.
  const std::int32_t firstFileRow = topDown_ ? height - first - count : first;
  const std::uint64_t offset = pixelDataOffset_ + std::uint64_t{rowBytes} * static_cast<std::uint64_t>(firstFileRow);
  if (!platformReadAt(input_, offset, bytes, runBytes)) {
    readFailed_ = true;
    std::int32_t lowest = failedFrom_.load();
    while (first < lowest && !failedFrom_.compare_exchange_weak(lowest, first)) {
    }
    return false;
  }
  return true;
}

bool Image::closeTga() {
  if (input_ == nullptr) return false;
  FileStamp now{};
  const bool unchanged = platformStampOf(input_, &now) && now == stamp_;
  const bool closed = std::fclose(input_) == 0;
  input_ = nullptr;
  return !readFailed_ && unchanged && closed;
}

bool Image::createTga(const char* path) {
  discardTga();
  fill_ = 0;
  writeFailed_ = !platformOpenOutput(path, &output_);
  if (writeFailed_) return false;
  unsigned char header[kHeaderSize] = {};
  putWord(header, 2, kTrueColourType);
  putWord(header, 12, static_cast<unsigned>(width) & 0xFFFF);
  putWord(header, 14, static_cast<unsigned>(height) & 0xFFFF);
  putWord(header, 16, kFormat24);
  return wroteAll(std::fwrite(header, 1, kHeaderSize, output_.file), kHeaderSize);
}

// Fills writeBuffer to a whole block and writes it; whole blocks of the
// bytes that follow are written straight from them, and the rest waits in
// writeBuffer for the next call.
void Image::writeEncodedPixels(const unsigned char* bytes, std::size_t count) {
  if (writeFailed_) return;
  unsigned char* buffer = writeBuffer.get();
  if (fill_ > 0) {
    const std::size_t taken = std::min(count, kWriteBlockSize - fill_);
    std::memcpy(buffer + fill_, bytes, taken);
    fill_ += taken;
    bytes += taken;
    count -= taken;
    if (fill_ < kWriteBlockSize) return;
    fill_ = 0;
    if (!writeBlock(buffer)) return;
  }
  for (; count >= kWriteBlockSize; bytes += kWriteBlockSize, count -= kWriteBlockSize) {
    if (!writeBlock(bytes)) return;
  }
  std::memcpy(buffer, bytes, count);
  fill_ = count;
}

bool Image::writeBlock(const unsigned char* block) {
  return wroteAll(std::fwrite(block, 1, kWriteBlockSize, output_.file), kWriteBlockSize);
}

bool Image::wroteAll(std::size_t written, std::size_t given) {
  if (written == given) return true;
  writeFailed_ = true;
  output_.failure = platformLastFailure(true);
  return false;
}

int Image::saveTga(FailureReason* why) {
  if (output_.file != nullptr && !writeFailed_ && fill_ > 0) {
    wroteAll(std::fwrite(writeBuffer.get(), 1, fill_, output_.file), fill_);
  }
  fill_ = 0;
  const bool saved = output_.file != nullptr && platformFinishOutput(&output_, !writeFailed_);
  // Cannot be written, unless the system told more.
  if (!saved && why != nullptr) *why = output_.failure;
  if (!saved && why != nullptr && why->kind == Failure::kNone) why->kind = Failure::kCannotWrite;
  return saved ? 0 : 1;
}

void Image::discardTga() {
  if (output_.file != nullptr) platformFinishOutput(&output_, false);
  fill_ = 0;
}
