// The baseline build of the innermost loops (kernels.h): plain C++ that the
// compiler vectorises as far as the baseline processor allows.

#include "correction/kernels.h"

namespace {


int absolute(int value) { return value < 0 ? -value : value; }

int byteOf(Pixel p, int byte) { return static_cast<int>((p >> (8 * byte)) & 0xFF); }

void measureTriple(Pixel a, Pixel b, Pixel c, std::int32_t k, TripleMeasures* measures) {
  int difference = 0;
  for (int byte = 0; byte < 3; ++byte) {
    difference += absolute(byteOf(b, byte) - byteOf(a, byte));
    measures->contribution[k][byte] =
        static_cast<std::int16_t>(2 * byteOf(b, byte) - byteOf(a, byte) - byteOf(c, byte));
  }
  measures->contribution[k][3] = 1;
  const std::int32_t cell =
      static_cast<std::int32_t>(((a >> 9) & 0x7C00) | ((a >> 6) & 0x03E0) | ((a >> 3) & 0x001F));
  measures->cell[k] = difference <= kSimilarityLimit ? cell : kNotASampleCell;
}

}  // namespace

void measureRowTriplesBaseline(const Pixel* a, const Pixel* b, const Pixel* c, std::int32_t first,
                               std::int32_t count, TripleMeasures* measures) {
  for (std::int32_t k = first; k < count; ++k) measureTriple(a[k], b[k], c[k], k, measures);
}

void measureColumnTriplesBaseline(const Pixel* row, std::int32_t first, std::int32_t count,
                                  TripleMeasures* measures) {
  for (std::int32_t k = first; k < count; ++k) measureTriple(row[2 * k], row[2 * k + 1], row[2 * k + 2], k, measures);
}

std::uint32_t correctPixelsBaseline(const Pixel* in, Pixel* out, const std::uint16_t* thresholds,
                                    const std::uint16_t* magnitudes, const std::uint8_t* down, std::int32_t count) {
  std::uint32_t total = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    Pixel result = 0;
    for (int byte = 0; byte < 3; ++byte) {
      const std::int32_t f = 4 * i + byte;
      const int magnitude = magnitudes[f];
      const int half = (magnitude >> 9) + ((magnitude & 511) > thresholds[f] ? 1 : 0);
      const int level = byteOf(in[i], byte) + (down[f] ? -half : half);
      result |= static_cast<Pixel>(level < 0 ? 0 : (level > 255 ? 255 : level)) << (8 * byte);
      total += static_cast<std::uint32_t>(half);
    }
    out[i] = result;
  }
  return total;
}
