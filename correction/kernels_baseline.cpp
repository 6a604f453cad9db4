// The baseline build of the innermost loops (kernels.h): plain C++ that the
// compiler vectorises as far as the baseline processor allows.

#include "correction/block_loops.h"
#include "correction/kernel_builds.h"

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
  measures->cell[k] = difference <= kSimilarityLimit ? colourCellOf(a) : kNotASampleCell;
}

void drawAcrossPairsBaseline(const DrawJumps& jumps, std::uint16_t* chains, std::int32_t count, CorrectionBlock* block) {
  block_loops::drawAcrossPairs(jumps, chains, count, block);
}

}  // namespace

LOMVERA_DEFINE_BLOCK_LOOPS(Baseline, )

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
  // Byte by byte, one loop over all colour bytes that the compiler can
  // vectorise; the alpha bytes have magnitude 0, pass unchanged and are
  // cleared after.
  const auto* inBytes = reinterpret_cast<const std::uint8_t*>(in);
  auto* outBytes = reinterpret_cast<std::uint8_t*>(out);
  std::uint32_t total = 0;
  for (std::int32_t f = 0; f < 4 * count; ++f) {
    const int half = static_cast<int>(halfLevels(magnitudes[f], thresholds[f]));
    const int level = inBytes[f] + (down[f] ? -half : half);
    outBytes[f] = static_cast<std::uint8_t>(level < 0 ? 0 : (level > 255 ? 255 : level));
    total += static_cast<std::uint32_t>(half);
  }
  for (std::int32_t i = 0; i < count; ++i) out[i] &= 0x00FFFFFF;
  return total;
}
