// Pixel bytes of a TGA file to Pixels and back, in the baseline build and
// the wide vector build; whole rows read and written; the generator stepped.

#include "support/helpers.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "correction/correction.h"
#include "correction/generator.h"
#include "platform/wide_vectors.h"

#if LOMVERA_HAS_WIDE_VECTOR_CODE
#include <immintrin.h>
#endif

namespace {

LOMVERA_ALWAYS_INLINE void widenLoop(const unsigned char* bytes, Pixel* pixels, std::size_t count) {
  for (std::size_t x = 0; x < count; ++x) {
    Pixel value;
    std::memcpy(&value, bytes + x * 3, sizeof value);
    pixels[x] = value & 0x00FFFFFF;
  }
}

LOMVERA_ALWAYS_INLINE void narrowLoop(const Pixel* pixels, unsigned char* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    bytes[3 * i] = static_cast<unsigned char>(pixels[i]);
    bytes[3 * i + 1] = static_cast<unsigned char>(pixels[i] >> 8);
    bytes[3 * i + 2] = static_cast<unsigned char>(pixels[i] >> 16);
  }
}

void widenBaseline(const unsigned char* bytes, Pixel* pixels, std::size_t count) { widenLoop(bytes, pixels, count); }
void narrowBaseline(const Pixel* pixels, unsigned char* bytes, std::size_t count) { narrowLoop(pixels, bytes, count); }

#if LOMVERA_HAS_WIDE_VECTOR_CODE
// Eight pixels at a time with a byte shuffle: each half takes four 3-byte
// pixels from a 16-byte load, and the fourth byte of each becomes 0. The
// second load reaches 4 bytes past the eight pixels, so the last pixels,
// which have only the one byte of slack behind them, go the plain way.
LOMVERA_WIDE_VECTOR_CODE void widenWide(const unsigned char* bytes, Pixel* pixels, std::size_t count) {
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  std::size_t x = 0;
  for (; x + 9 <= count; x += 8) {
    const unsigned char* from = bytes + x * 3;
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 12));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixels + x), _mm256_shuffle_epi8(_mm256_set_m128i(high, low), spread));
  }
  widenLoop(bytes + x * 3, pixels + x, count - x);
}
// Eight pixels at a time: each half of the vector packs its four pixels'
// colour bytes into its first 12 bytes, which two overlapping 16-byte stores
// put in place. The second store reaches 4 bytes past the eight pixels, so
// the last pixels go the plain way.
LOMVERA_WIDE_VECTOR_CODE void narrowWide(const Pixel* pixels, unsigned char* bytes, std::size_t count) {
  const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  std::size_t x = 0;
  for (; x + 10 <= count; x += 8) {
    const __m256i packed = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels + x)), pack);
    unsigned char* to = bytes + x * 3;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm256_castsi256_si128(packed));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 12), _mm256_extracti128_si256(packed, 1));
  }
  narrowLoop(pixels + x, bytes + x * 3, count - x);
}
#else
void widenWide(const unsigned char* bytes, Pixel* pixels, std::size_t count) { widenLoop(bytes, pixels, count); }
void narrowWide(const Pixel* pixels, unsigned char* bytes, std::size_t count) { narrowLoop(pixels, bytes, count); }
#endif

}  // namespace

void widenPixels(const unsigned char* bytes, Pixel* pixels, std::size_t count) {
  if (wideVectorsInUse) {
    widenWide(bytes, pixels, count);
  } else {
    widenBaseline(bytes, pixels, count);
  }
}

// Pixel x is read from bytes count + 3x to count + 3x + 3 and written to
// bytes 4x to 4x + 3: ahead of every byte still to be read while x < count,
// and for the wide build's eight pixels at a time while x + 8 <= count. The
// last pixel, whose 4-byte load would pass the end, is put together byte by
// byte.
void widenPixelsInPlace(Pixel* pixels, std::size_t count) {
  if (count == 0) return;
  const unsigned char* last = reinterpret_cast<const unsigned char*>(pixels) + 4 * count - 3;
  const Pixel lastPixel = static_cast<Pixel>(last[0]) | static_cast<Pixel>(last[1]) << 8 | static_cast<Pixel>(last[2]) << 16;
  widenPixels(reinterpret_cast<const unsigned char*>(pixels) + count, pixels, count - 1);
  pixels[count - 1] = lastPixel;
}

void narrowPixels(const Pixel* pixels, unsigned char* bytes, std::size_t count) {
  if (wideVectorsInUse) {
    narrowWide(pixels, bytes, count);
  } else {
    narrowBaseline(pixels, bytes, count);
  }
}

// The file bytes are read straight into the caller's rows, so that threads
// reading runs at the same time share nothing but the open file. A 24-bit
// run is read into the last three quarters of the rows and widened from the
// front, each pixel written only over bytes already taken.
bool readRows(Image& image, std::int32_t first, std::int32_t count, Pixel* rows) {
  const std::size_t rowPixels = static_cast<std::size_t>(image.width);
  const std::size_t pixels = rowPixels * static_cast<std::size_t>(count > 0 ? count : 0);
  const std::size_t fileBytesAt = image.pixelBytes() == 4 ? 0 : pixels;
  if (!image.readPixelBytes(first, count, reinterpret_cast<unsigned char*>(rows) + fileBytesAt)) return false;
  if (image.pixelBytes() == 3) widenPixelsInPlace(rows, pixels);
  // A file stored top row first holds the rows of a run in reverse.
  const bool reversed = image.runAt(nullptr, count).reversed;
  for (std::int32_t i = 0, j = count - 1; reversed && i < j; ++i, --j) {
    std::swap_ranges(rows + rowPixels * static_cast<std::size_t>(i), rows + rowPixels * static_cast<std::size_t>(i + 1),
                     rows + rowPixels * static_cast<std::size_t>(j));
  }
  return true;
}

void writePixels(Image& image, const Pixel* pixels, std::size_t count) {
  constexpr std::size_t kPixelsAtOnce = 4096;
  std::vector<unsigned char> bytes(3 * kPixelsAtOnce);
  for (std::size_t done = 0; done < count; done += kPixelsAtOnce) {
    const std::size_t run = std::min(count - done, kPixelsAtOnce);
    narrowPixels(pixels + done, bytes.data(), run);
    image.writeEncodedPixels(bytes.data(), 3 * run);
  }
}

std::int32_t ditherHalf(std::int32_t value) {
  ditherState = ditherState * kDitherMultiplier + kDitherIncrement;
  const std::uint32_t magnitude =
      value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  const std::int32_t rounded = static_cast<std::int32_t>(halfLevels(magnitude, thresholdOf(ditherState)));
  shiftTotal += rounded;
  return value > 0 ? rounded : -rounded;
}
