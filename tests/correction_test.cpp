#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "correction/correction.h"
#include "correction/generator.h"
#include "correction/kernels.h"
#include "correction/progress.h"
#include "image/image.h"
#include "support/helpers.h"
#include "stage_files.h"
#include "test_support.h"

namespace {

Pixel rgb(int red, int green, int blue) { return packRgb(red, green, blue); }

class StageTest : public ::testing::Test {
 protected:
  TemporaryDirectory directory;
  void SetUp() override {
    ditherState = kDitherSeed;
    shiftTotal = 0;
  }
  // Sets the stages up on a picture given line by line (lines are columns).
  void useLines(const std::vector<std::vector<Pixel>>& lines) {
    const int count = static_cast<int>(lines.size());
    const int length = count ? static_cast<int>(lines[0].size()) : 1;
    Raster picture(count, length);
    for (int line = 0; line < count; ++line)
      for (int j = 0; j < length; ++j) picture.setPixel(line, j, lines[static_cast<std::size_t>(line)][static_cast<std::size_t>(j)]);
    openForStages(directory, picture, false);
  }
  // Sets lineCount lines of one pixel each, all of one colour.
  void usePlainLines(int count, Pixel colour) {
    useLines(std::vector<std::vector<Pixel>>(static_cast<std::size_t>(count), std::vector<Pixel>{colour}));
  }
  // The corrected picture the stages wrote.
  Raster output() { return savedStageOutput(directory); }
};

TEST_F(StageTest, GeneratorRunsItsFixedSequenceFromTheStart) {
  const std::uint32_t states[] = {0x290ED03A, 0xE3F9F7A5, 0xF4DF178A};
  const int thresholds[] = {129, 445, 188, 218, 198, 296};
  // A remainder r is rounded up exactly when the threshold lies below r, so
  // probing with r = threshold and r = threshold + 1 from the same state
  // reads the threshold back.
  for (int step = 0; step < 6; ++step) {
    const std::uint32_t before = ditherState;
    EXPECT_EQ(ditherHalf(thresholds[step]), 0) << step;
    ditherState = before;
    EXPECT_EQ(ditherHalf(thresholds[step] + 1), 1) << step;
    if (step < 3) {
      EXPECT_EQ(ditherState, states[step]);
    }
  }
  EXPECT_EQ(ditherState, 0x25292505u);
}

TEST_F(StageTest, GeneratorJumpsLandWhereSteppingDoes) {
  for (std::uint64_t steps : {0ull, 1ull, 2ull, 6ull, 7ull, 1000ull, 65537ull}) {
    EXPECT_EQ(jumpedState(generatorJump(steps), kDitherSeed), ditherStateAfter(kDitherSeed, steps)) << steps;
    EXPECT_EQ(jumpedState(generatorJump(steps), 0xFFFFFFFFu), ditherStateAfter(0xFFFFFFFFu, steps));
  }
  EXPECT_EQ(jumpedState(generatorJump(6), kDitherSeed), 0x25292505u);
  // Counts beyond 32 bits: jumps compose, and 2^32 steps bring every state back.
  const std::uint64_t far = 6ull * 16383 * 32767 + 5;
  EXPECT_EQ(jumpedState(generatorJump(far), kDitherSeed),
            jumpedState(generatorJump(far - 1000), jumpedState(generatorJump(1000), kDitherSeed)));
  EXPECT_EQ(jumpedState(generatorJump(far + (1ull << 32)), kDitherSeed), jumpedState(generatorJump(far), kDitherSeed));
}

// The rounding as the kernels work it out, in 16 bits with the offset of a
// complemented state, against the rule itself: for the offset of every low
// 16 bits of a state, and for every magnitude an entry can have with every
// threshold.
TEST_F(StageTest, RoundingWithOffsetsIsTheRoundingWithThresholds) {
  long mismatches = 0;
  for (std::uint32_t low = 0; low <= 0xFFFF; ++low) {
    const std::uint32_t state = low | 0xA5A50000u;  // the high bits count for nothing
    const unsigned offset = kRemainderBits - thresholdOf(state);
    mismatches += roundingOffsetOfLowState(static_cast<std::uint16_t>(low)) != offset;
    mismatches += roundingOffsetOf(state) != offset;
  }
  EXPECT_EQ(mismatches, 0);
  for (unsigned magnitude = 0; magnitude < kTableMagnitudeBound; ++magnitude) {
    for (unsigned threshold = 0; threshold <= kRemainderBits; ++threshold) {
      const unsigned rule = (magnitude >> 9) + ((magnitude & 511) > threshold ? 1u : 0u);
      const auto offset = static_cast<std::uint16_t>(kRemainderBits - threshold);
      if (halfLevels(magnitude, threshold) != rule ||
          halfLevelsIn16Bits(static_cast<std::uint16_t>(magnitude), offset) != rule) {
        ADD_FAILURE() << "magnitude " << magnitude << ", threshold " << threshold;
        return;
      }
    }
  }
}

TEST_F(StageTest, DitherHalfKeepsTheWholePartAndCountsMagnitudes) {
  EXPECT_EQ(ditherHalf(300), 1);
  EXPECT_EQ(ditherHalf(-700), -1);
  EXPECT_EQ(ditherHalf(0), 0);
  EXPECT_EQ(ditherState, 0xF4DF178Au);
  EXPECT_EQ(shiftTotal, 2);

  // Multiples of 512 are exact whatever is drawn; below 512 gives 0 or 1.
  for (int i = 0; i < 2000; ++i) {
    EXPECT_EQ(ditherHalf(1536), 3);
    EXPECT_EQ(ditherHalf(-51200), -100);
    const int small = ditherHalf(-511);
    EXPECT_TRUE(small == 0 || small == -1);
    const int large = ditherHalf(51839);
    EXPECT_TRUE(large == 101 || large == 102);
  }
}

TEST_F(StageTest, FirstPositionOfARunIsCorrectedToTheKnownBytes) {
  useLines({{0xFF000000 | rgb(100, 100, 100)}, {0xFF000000 | rgb(110, 110, 110)}});
  const int cell = colourCellOf(rgb(100, 100, 100));
  ASSERT_EQ(cell, 12684);
  for (int channel = 0; channel < 3; ++channel) shiftTable[cell][channel] = 1280;

  EXPECT_EQ(consoleOf(performShift), "performing shift .\n");
  const Raster corrected = output();
  EXPECT_EQ(corrected.getPixel(0, 0), 0x00666766u);
  EXPECT_EQ(corrected.getPixel(1, 0), 0x006B6B6Bu);
  EXPECT_EQ(shiftTotal, 16);
  EXPECT_EQ(ditherState, 0x25292505u);

  // The same six calls one by one.
  ditherState = kDitherSeed;
  const int expected[] = {3, 2, 3, 3, 3, 2};
  for (int call : expected) EXPECT_EQ(ditherHalf(1280), call);
}

TEST_F(StageTest, CorrectionsAreClampedAndStillTakeTheirSteps) {
  useLines({{rgb(254, 1, 128)}, {rgb(250, 0, 128)}});
  const int cell = colourCellOf(rgb(254, 1, 128));
  shiftTable[cell][0] = 1536;
  shiftTable[cell][1] = -1536;
  shiftTable[cell][2] = 0;
  consoleOf(performShift);
  const Raster corrected = output();
  EXPECT_EQ(corrected.getPixel(0, 0), rgb(255, 0, 128));
  EXPECT_EQ(corrected.getPixel(1, 0), rgb(247, 3, 128));
  EXPECT_EQ(shiftTotal, 12);
  EXPECT_EQ(ditherState, ditherStateAfter(kDitherSeed, 6));
}

TEST_F(StageTest, CellComesFromTheEvenPixelBeforeCorrection) {
  // Entries only in the even pixel's cell: green and blue use that cell even
  // though red has already moved the pixel into another one.
  useLines({{rgb(8, 8, 8)}, {rgb(200, 8, 8)}});
  std::memset(shiftTable, 0, sizeof shiftTable);
  const int cell = colourCellOf(rgb(8, 8, 8));
  ASSERT_EQ(cell, 1057);
  for (int channel = 0; channel < 3; ++channel) shiftTable[cell][channel] = -1024;
  consoleOf(performShift);
  const Raster corrected = output();
  EXPECT_EQ(corrected.getPixel(0, 0), rgb(6, 6, 6));
  EXPECT_EQ(corrected.getPixel(1, 0), rgb(202, 10, 10));
}

TEST_F(StageTest, UnpairedLineIsKeptWithoutAlphaAndTakesNoSteps) {
  std::memset(shiftTable, 0, sizeof shiftTable);
  useLines({{rgb(1, 2, 3), rgb(4, 5, 6)}, {rgb(7, 8, 9), rgb(10, 11, 12)}, {0x80FFEEDD, 0x01020304}});
  consoleOf(performShift);
  Raster corrected = output();
  EXPECT_EQ(corrected.getPixel(2, 0), 0x00FFEEDDu);
  EXPECT_EQ(corrected.getPixel(2, 1), 0x00020304u);
  EXPECT_EQ(corrected.getPixel(1, 1), rgb(10, 11, 12));
  EXPECT_EQ(ditherState, ditherStateAfter(kDitherSeed, 12));

  ditherState = kDitherSeed;
  useLines({{0xFF405060, 0xFF708090}});
  EXPECT_EQ(consoleOf(performShift), "performing shift \n");
  corrected = output();
  EXPECT_EQ(corrected.getPixel(0, 1), 0x00708090u);
  EXPECT_EQ(ditherState, kDitherSeed);
  EXPECT_EQ(shiftTotal, 0);
}

TEST_F(StageTest, SimilarityTestAndSamplesFollowTheWorkedExamples) {
  const Pixel black = rgb(0, 0, 0);
  struct Case {
    Pixel a, b, c;
    bool sampled;
  };
  const Case cases[] = {
      {rgb(100, 100, 100), rgb(150, 150, 150), black, true},   // differences sum to 150
      {rgb(100, 100, 100), rgb(150, 150, 151), black, false},  // 151
      {rgb(200, 0, 0), rgb(50, 0, 0), black, true},            // 150 in one channel
  };
  for (const Case& test : cases) {
    useLines({{test.a}, {test.b}, {test.c}});
    consoleOf(computeShift);
    EXPECT_EQ(shiftCounts[colourCellOf(test.a)][0], test.sampled ? 2 : 0);
  }

  useLines({{black}, {black}, {rgb(255, 255, 255)}});
  consoleOf(computeShift);
  for (int channel = 0; channel < 3; ++channel) {
    EXPECT_EQ(shiftSums[0][channel], -255);
    EXPECT_EQ(shiftCounts[0][channel], 2);
  }

  for (Pixel alpha : {0x00000000u, 0xFF000000u}) {
    useLines({{alpha | rgb(10, 20, 30)}, {alpha | rgb(12, 20, 27)}, {alpha | rgb(14, 21, 30)}});
    consoleOf(computeShift);
    EXPECT_EQ(shiftSums[1091][0], 0);
    EXPECT_EQ(shiftSums[1091][1], -1);
    EXPECT_EQ(shiftSums[1091][2], -6);
    EXPECT_EQ(shiftCounts[1091][2], 2);
    std::int64_t total = 0;
    for (const auto& cell : shiftCounts) total += cell[0] + cell[1] + cell[2];
    EXPECT_EQ(total, 6);
  }
}

TEST_F(StageTest, StatisticsAndTableOfThreeLinesWithABrighterMiddle) {
  useLines({std::vector<Pixel>(100, rgb(0, 0, 0)), std::vector<Pixel>(100, rgb(10, 10, 10)),
            std::vector<Pixel>(100, rgb(0, 0, 0))});
  for (int run = 0; run < 2; ++run) {
    consoleOf(computeShift);
    EXPECT_EQ(consoleOf(buildShiftTable), "bluring tables   " + std::string(32, '.') + "\n");
    for (int cell = 0; cell < kCellCount; ++cell) {
      for (int channel = 0; channel < 3; ++channel) {
        ASSERT_EQ(shiftSums[cell][channel], cell == 0 ? 2000 : 0);
        ASSERT_EQ(shiftCounts[cell][channel], cell == 0 ? 200 : 0);
        ASSERT_EQ(shiftTable[cell][channel], cell == 0 ? 2547 : 0);
      }
    }
  }
}

TEST_F(StageTest, TableEntriesAreTruncatedTowardZero) {
  const std::int64_t worked[][3] = {{0, 0, 0},     {3, 2, 256},    {-5, 4, -256},  {2, 2, 170},    {1, 2, 85},
                                    {-1, 2, -85}, {10, 20, 121},  {-10, 20, -121}, {2000, 200, 2547},
                                    {-202500, 1000, -51788}};
  std::memset(shiftSums, 0, sizeof shiftSums);
  std::memset(shiftCounts, 0, sizeof shiftCounts);
  for (const auto& row : worked) {
    shiftSums[1091][1] = row[0];
    shiftCounts[1091][1] = row[1];
    consoleOf(buildShiftTable);
    EXPECT_EQ(shiftTable[1091][1], row[2]) << row[0] << "/" << row[1];
    EXPECT_EQ(shiftTable[1091][0], 0);
    EXPECT_EQ(shiftTable[1090][1], 0);
    EXPECT_EQ(shiftTable[1092][1], 0);
  }
}

TEST_F(StageTest, ShortPicturesHaveNoTriplesOrPairs) {
  for (int count : {0, 1, 2}) {
    usePlainLines(count, rgb(9, 9, 9));
    shiftSums[5][0] = 77;  // left over from an earlier file
    EXPECT_EQ(consoleOf(computeShift), "computing shift  \n");
    EXPECT_EQ(shiftSums[5][0], 0);
  }
  // Three or four lines: only the triple 0, 1, 2; five lines: two triples.
  for (int count : {3, 4, 5}) {
    useLines(std::vector<std::vector<Pixel>>(static_cast<std::size_t>(count), std::vector<Pixel>{rgb(0, 0, 0)}));
    consoleOf(computeShift);
    EXPECT_EQ(shiftCounts[0][0], count == 5 ? 4 : 2) << count;
  }
}

TEST_F(StageTest, ProgressDotsFollowTheLineCount) {
  struct Dots {
    int lineCount, computeDots, performDots;
  };
  const Dots table[] = {{3, 1, 1},     {4, 1, 2},      {99, 49, 49},    {100, 49, 50},   {150, 74, 75},
                        {199, 99, 99}, {200, 50, 50},  {1000, 50, 50},  {1150, 53, 53},  {2048, 52, 52},
                        {32767, 51, 51}};
  std::memset(shiftTable, 0, sizeof shiftTable);
  for (const Dots& row : table) {
    usePlainLines(row.lineCount, rgb(50, 60, 70));
    EXPECT_EQ(consoleOf(computeShift), "computing shift  " + std::string(static_cast<std::size_t>(row.computeDots), '.') + "\n")
        << row.lineCount;
    EXPECT_EQ(consoleOf(performShift), "performing shift " + std::string(static_cast<std::size_t>(row.performDots), '.') + "\n")
        << row.lineCount;
  }
  EXPECT_EQ(progressIntervalFor(1150), 22);
  EXPECT_EQ(progressIntervalFor(99), 0);
}

}  // namespace
