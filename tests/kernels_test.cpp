// The innermost loops of both builds against the rules written out literally,
// on random file bytes of every length up to a few groups of the wide build
// (so that every way a row can end is met), with 3- and 4-byte pixels,
// random rounding tables up to the largest magnitude and random generator
// states. Guard bytes behind every output show any write past its end.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "correction/generator.h"
#include "correction/kernels.h"
#include "platform/wide_vectors.h"
#include "test_pictures.h"

namespace {

constexpr unsigned char kGuard = 0xEE;
constexpr std::size_t kGuardBytes = 64;

int levelOf(Pixel p, int byte) { return static_cast<int>((p >> (8 * byte)) & 0xFF); }

class KernelTest : public ::testing::Test {
 protected:
  std::mt19937 random{20261207};
  std::vector<CellRounding> cells = std::vector<CellRounding>(kCellCount);

  void SetUp() override {
    // Magnitudes of every kind: none, whole levels, any, the largest.
    for (CellRounding& cell : cells) {
      for (std::uint16_t& magnitude : cell.magnitude) {
        const std::uint32_t kind = random() % 4;
        magnitude = static_cast<std::uint16_t>(kind == 0 ? 0 : kind == 1 ? 512 * (random() % 102)
                                               : kind == 2 ? random() % kTableMagnitudeBound : kTableMagnitudeBound - 1);
      }
      cell.downBits = static_cast<std::uint16_t>(random() % 8);
    }
  }
  void TearDown() override { wideVectorsInUse = processorRunsWideVectorCode(); }

  // `count` random pixels as a file stores them, with the slack the kernels
  // may read behind them.
  Bytes filePixels(std::int32_t count, unsigned pixelBytes) {
    Bytes bytes(static_cast<std::size_t>(count) * pixelBytes + kPixelBytesSlack);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
    return bytes;
  }
  // Pixels each within 60 levels a channel of those of `near`, so that
  // about half the positions are samples.
  Bytes filePixelsNear(const Bytes& near) {
    Bytes bytes = near;
    for (std::size_t i = 0; i + kPixelBytesSlack < bytes.size(); ++i)
      bytes[i] = static_cast<unsigned char>(clampLevel(bytes[i] + static_cast<int>(random() % 121) - 60));
    return bytes;
  }
  static Pixel pixelOf(const Bytes& bytes, unsigned pixelBytes, std::int32_t k) {
    Pixel pixel = 0;
    std::memcpy(&pixel, &bytes[static_cast<std::size_t>(k) * pixelBytes], pixelBytes);
    return pixel;
  }

  // One position corrected by the rules: the draws in their order (odd red,
  // even red, odd green, ...) from *state, each rounding one half.
  std::uint64_t literalPosition(Pixel even, Pixel odd, std::uint32_t* state, unsigned char* evenOut,
                                unsigned char* oddOut) const {
    const CellRounding& cell = cells[static_cast<std::size_t>(colourCellOf(even))];
    std::uint64_t total = 0;
    for (int byte = 2; byte >= 0; --byte) {
      const int sign = (cell.downBits >> byte) & 1 ? -1 : 1;
      *state = ditherStateAfter(*state, 1);
      const int oddHalf = static_cast<int>(halfLevels(cell.magnitude[byte], thresholdOf(*state)));
      *state = ditherStateAfter(*state, 1);
      const int evenHalf = static_cast<int>(halfLevels(cell.magnitude[byte], thresholdOf(*state)));
      oddOut[byte] = static_cast<unsigned char>(clampLevel(levelOf(odd, byte) - sign * oddHalf));
      evenOut[byte] = static_cast<unsigned char>(clampLevel(levelOf(even, byte) + sign * evenHalf));
      total += static_cast<std::uint64_t>(oddHalf + evenHalf);
    }
    return total;
  }
};

// An output of `count` pixels followed by guard bytes.
Bytes guardedOutput(std::int32_t count) { return Bytes(static_cast<std::size_t>(count) * 3 + kGuardBytes, kGuard); }
// Its pixels, after checking that the guard is whole.
Bytes outputPixels(const Bytes& output) {
  for (std::size_t i = output.size() - kGuardBytes; i < output.size(); ++i)
    EXPECT_EQ(output[i], kGuard) << "written past the end, byte " << i;
  return Bytes(output.begin(), output.end() - static_cast<std::ptrdiff_t>(kGuardBytes));
}

std::string where(bool wide, unsigned pixelBytes, std::int32_t count) {
  return std::string(wide ? "wide" : "baseline") + " build, " + std::to_string(pixelBytes) + "-byte pixels, " +
         std::to_string(count) + " pixels";
}

TEST_F(KernelTest, PairsOfRowsAndRowsOfPairsAreCorrectedByTheRules) {
  for (bool wide : vectorCodes()) {
    wideVectorsInUse = wide;
    for (unsigned pixelBytes : {3u, 4u}) {
      for (std::int32_t count = 0; count <= 41; ++count) {
        SCOPED_TRACE(where(wide, pixelBytes, count));
        // Lines as rows: one pair of rows.
        const Bytes even = filePixels(count, pixelBytes);
        const Bytes odd = filePixels(count, pixelBytes);
        const std::uint32_t state = random();
        Bytes evenOut = guardedOutput(count);
        Bytes oddOut = guardedOutput(count);
        const std::uint64_t total = correctRowPair(cells.data(), state, even.data(), odd.data(), pixelBytes,
                                                   evenOut.data(), oddOut.data(), count);
        Bytes literalEven(static_cast<std::size_t>(count) * 3), literalOdd(literalEven.size());
        std::uint32_t literalState = state;
        std::uint64_t literalTotal = 0;
        for (std::int32_t j = 0; j < count; ++j) {
          literalTotal += literalPosition(pixelOf(even, pixelBytes, j), pixelOf(odd, pixelBytes, j), &literalState,
                                          &literalEven[3 * static_cast<std::size_t>(j)],
                                          &literalOdd[3 * static_cast<std::size_t>(j)]);
        }
        EXPECT_EQ(outputPixels(evenOut), literalEven);
        EXPECT_EQ(outputPixels(oddOut), literalOdd);
        EXPECT_EQ(total, literalTotal);

        // Lines as columns: three rows, each pixels 2p and 2p + 1 a pair
        // with its own state, which moves on from row to row. The last pixel
        // of an odd count is copied.
        constexpr std::int32_t kRows = 3;
        const Bytes rows = filePixels(kRows * count, pixelBytes);
        const std::size_t rowBytes = static_cast<std::size_t>(count) * pixelBytes;
        std::vector<std::uint16_t> chains(static_cast<std::size_t>(count / 2));
        for (std::uint16_t& chain : chains) chain = static_cast<std::uint16_t>(random());
        std::vector<std::uint32_t> literalChains(chains.begin(), chains.end());
        Bytes out = guardedOutput(kRows * count);
        std::uint64_t rowsTotal = 0;
        for (std::int32_t r = 0; r < kRows; ++r) {
          rowsTotal += correctColumnRow(cells.data(), chains.data(), rows.data() + r * rowBytes, pixelBytes,
                                        out.data() + static_cast<std::size_t>(r * count) * 3, count);
        }
        Bytes literal(static_cast<std::size_t>(kRows * count) * 3);
        literalTotal = 0;
        for (std::int32_t r = 0; r < kRows; ++r) {
          const Bytes row(rows.begin() + static_cast<std::ptrdiff_t>(r * rowBytes), rows.end());
          unsigned char* at = literal.data() + static_cast<std::size_t>(r * count) * 3;
          for (std::int32_t p = 0; p < count / 2; ++p) {
            literalTotal += literalPosition(pixelOf(row, pixelBytes, 2 * p), pixelOf(row, pixelBytes, 2 * p + 1),
                                            &literalChains[static_cast<std::size_t>(p)], at + 6 * p, at + 6 * p + 3);
          }
          if (count % 2 != 0)
            std::memcpy(at + 3 * (count - 1), &row[static_cast<std::size_t>(count - 1) * pixelBytes], 3);
        }
        EXPECT_EQ(outputPixels(out), literal);
        EXPECT_EQ(rowsTotal, literalTotal);
        for (std::size_t p = 0; p < chains.size(); ++p)
          EXPECT_EQ(chains[p], static_cast<std::uint16_t>(literalChains[p])) << "pair " << p;

        // No pair: the pixels as they are.
        Bytes copied = guardedOutput(count);
        copyPixelBytes(rows.data(), pixelBytes, copied.data(), count);
        Bytes plain(static_cast<std::size_t>(count) * 3);
        for (std::int32_t k = 0; k < count; ++k)
          std::memcpy(&plain[3 * static_cast<std::size_t>(k)], &rows[static_cast<std::size_t>(k) * pixelBytes], 3);
        EXPECT_EQ(outputPixels(copied), plain);
      }
    }
  }
}

TEST_F(KernelTest, TriplesOfRowsAndRowsOfTriplesAreMeasuredByTheRules) {
  const auto expectMeasures = [](const TripleMeasures& measures, std::int32_t k, Pixel a, Pixel b, Pixel c) {
    int difference = 0;
    for (int byte = 0; byte < 3; ++byte) {
      difference += std::abs(levelOf(b, byte) - levelOf(a, byte));
      EXPECT_EQ(measures.contribution[k][byte], 2 * levelOf(b, byte) - levelOf(a, byte) - levelOf(c, byte)) << k;
    }
    EXPECT_EQ(measures.contribution[k][3], 1);
    const std::int32_t cell = difference <= kSimilarityLimit ? colourCellOf(a) : kNotASampleCell;
    EXPECT_EQ(measures.cellOffset[k], cell * static_cast<std::int32_t>(sizeof(PendingCell))) << k;
  };
  TripleMeasures measures;
  for (bool wide : vectorCodes()) {
    wideVectorsInUse = wide;
    for (unsigned pixelBytes : {3u, 4u}) {
      for (std::int32_t count : {0, 1, 7, 8, 9, 23, 64, 511, kMeasureBlock}) {
        SCOPED_TRACE(where(wide, pixelBytes, count));
        const Bytes a = filePixels(count, pixelBytes);
        const Bytes b = filePixelsNear(a);
        const Bytes c = filePixels(count, pixelBytes);
        measureRowTriples(a.data(), b.data(), c.data(), pixelBytes, count, &measures);
        for (std::int32_t k = 0; k < count; ++k)
          expectMeasures(measures, k, pixelOf(a, pixelBytes, k), pixelOf(b, pixelBytes, k), pixelOf(c, pixelBytes, k));

        // A row of 2 count + 1 pixels, every second one near the one before.
        Bytes row = filePixels(2 * count + 1, pixelBytes);
        const Bytes near = filePixelsNear(row);
        for (std::int32_t k = 0; k < count; ++k)
          std::memcpy(&row[static_cast<std::size_t>(2 * k + 1) * pixelBytes],
                      &near[static_cast<std::size_t>(2 * k) * pixelBytes], pixelBytes);
        measureColumnTriples(row.data(), pixelBytes, count, &measures);
        for (std::int32_t k = 0; k < count; ++k) {
          expectMeasures(measures, k, pixelOf(row, pixelBytes, 2 * k), pixelOf(row, pixelBytes, 2 * k + 1),
                         pixelOf(row, pixelBytes, 2 * k + 2));
        }
      }
    }
  }
}

}  // namespace
