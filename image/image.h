#pragma once

// The picture files the tool reads and writes.
//
// No whole picture is ever held in memory: inputImage is the open input file,
// read in runs of storage rows as often as the stages need them, and
// outputImage is the output file, written in runs of storage rows as the
// corrected rows come. The stages address pixels as (line, position), which
// the transposed flag maps onto columns or rows of the picture.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/platform.h"

// A colour as stored in a TGA file: bits 0-7 blue, 8-15 green, 16-23 red,
// 24-31 alpha. A pixel's file bytes read as a little-endian word are its Pixel.
using Pixel = std::uint32_t;

// The largest level of a colour channel.
constexpr int kLargestLevel = 255;

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

// The rows of a run of `count` storage rows at `bytes`, rowBytes each, in
// storage order or, `reversed`, in the reverse.
struct RunRows {
  unsigned char* bytes;
  std::size_t rowBytes;
  std::int32_t count;
  bool reversed;
  // The bytes of row k of the run (0 its first storage row).
  unsigned char* row(std::int32_t k) const {
    return bytes + rowBytes * static_cast<std::size_t>(reversed ? count - 1 - k : k);
  }
};

// A TGA picture file, read or written in runs of storage rows. Storage row 0
// is the bottom row of the picture, whatever the order of the rows in the
// file; a row runs from left to right.
class Image {
 public:
  Image();
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // Opens a 24- or 32-bit uncompressed true-colour TGA file for reading and
  // checks its header against what the reader takes and against the file's
  // length; reads no pixel yet. Returns 0 when the file is open for reading,
  // with width and height set and transposed 0; 1 when the file cannot be
  // opened, is not a file of that kind, or is shorter than its header
  // promises (the size and an earlier open file are then left as they were),
  // with the reason in *why when it is given.
  int loadTga(const char* path, FailureReason* why = nullptr);
  // Reads storage rows first to first + count - 1 as the file holds them:
  // count x width x pixelBytes() bytes, blue, green, red (and alpha in 32-bit
  // files) per pixel, the rows in the file's order, which runAt tells.
  // Returns false when the rows cannot be read, and from then on for every
  // read that reaches the first row of a failed read; rows wholly before it
  // read as before. So when the file ends early, the same runs of rows fail
  // in whatever order threads read them. closeTga reports any failure.
  // Threads may read runs at the same time, each into bytes of its own.
  bool readPixelBytes(std::int32_t first, std::int32_t count, unsigned char* bytes);
  // The bytes per pixel of the open file: 3 or 4.
  unsigned pixelBytes() const { return bytesPerPixel_; }
  // The run of `count` rows that readPixelBytes puts at `bytes`: a file
  // stored top row first holds the rows of a run in reverse.
  RunRows runAt(unsigned char* bytes, std::int32_t count) const {
    return {bytes, static_cast<std::size_t>(width) * bytesPerPixel_, count, topDown_};
  }
  // Closes the input file. Returns true when every read succeeded and the
  // file's length and modification time are still those it had when it was
  // opened: only then do the rows read make one picture.
  bool closeTga();

  // Sets the size of the picture to be written.
  void resize(std::int32_t newWidth, std::int32_t newHeight);
  // Opens the output for path (a temporary file beside the file it names
  // until saveTga; a device or pipe directly) and writes the 24-bit header. Returns false when it cannot be created; the
  // rows written after that are dropped and saveTga fails.
  bool createTga(const char* path);
  // Appends `count` bytes of pixels in storage order (rows bottom to top) as
  // the file stores them, kOutputPixelBytes each, through writeBuffer, in
  // blocks of exactly kWriteBlockSize bytes; whole blocks go to the file
  // straight from `bytes` when nothing waits in writeBuffer. A write that
  // fails is remembered and the rest is dropped.
  void writeEncodedPixels(const unsigned char* bytes, std::size_t count);
  // Drops every write from now on and makes saveTga fail, as a failed
  // write does: for a picture whose corrected rows cannot all be made, for
  // want of memory unless something failed before.
  void failWrites() {
    if (!writeFailed_) output_.failure = FailureReason{Failure::kNoMemory};
    writeFailed_ = true;
  }
  // Completes the file begun by createTga and puts it in the place of the
  // file its path named. Returns 0 on success; 1 when it was never created,
  // any write failed, or it cannot be completed or placed, in which case
  // nothing is left of it and an existing file of that name keeps its bytes;
  // the reason of the first failure is then in *why when it is given.
  int saveTga(FailureReason* why = nullptr);
  // Abandons the file begun by createTga, leaving nothing of it.
  void discardTga();

  std::size_t pixelCount() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height); }

  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t transposed = 0;

 private:
  // Input: the open file and where its pixels lie.
  std::FILE* input_ = nullptr;
  std::uint64_t pixelDataOffset_ = 0;
  unsigned bytesPerPixel_ = 0;
  bool topDown_ = false;
  std::atomic<bool> readFailed_{false};
  static constexpr std::int32_t kNoFailedRow = INT32_MAX;
  std::atomic<std::int32_t> failedFrom_{kNoFailedRow};  // the lowest first row of a failed read
  FileStamp stamp_{};
  // Output: the file being written and the fill of writeBuffer.
  OutputFile output_;
  std::size_t fill_ = 0;
  bool writeFailed_ = false;

  // Writes one whole block; false, and the failure remembered, when it fails.
  bool writeBlock(const unsigned char* block);
  // Whether a write handed the file all the bytes it was given; a short one
  // fails the output, with the system's reason, and drops every later write.
  bool wroteAll(std::size_t written, std::size_t given);
};

// The bytes of a pixel as the output file stores it: blue, green and red.
constexpr std::size_t kOutputPixelBytes = 3;

// The TGA writer's output buffer, allocated by the first Image constructed.
extern std::unique_ptr<unsigned char[]> writeBuffer;

// The picture being corrected and its corrected copy.
extern Image inputImage;
extern Image outputImage;
