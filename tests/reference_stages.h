#pragma once

// The three correction stages written out literally, as the tests' yardstick
// for the fast stages of correction/: every pixel goes through getPixel and
// setPixel of a picture in memory, the lines are walked triple after triple
// and pair after pair, and the generator is stepped draw after draw. They
// read lineCount and lineLength like the real stages, but keep their own
// tables, generator and total, and read and write the pictures they are
// given, so that both can run on the same picture and be compared.

#include <cstdint>

#include "correction/correction.h"
#include "correction/generator.h"
#include "test_pictures.h"

extern std::int64_t referenceSums[kCellCount][kChannelCount];
extern std::int64_t referenceCounts[kCellCount][kChannelCount];
extern std::int32_t referenceTable[kCellCount][kChannelCount];
// Starts at kDitherSeed and, like ditherState, is never reset by the stages.
extern std::uint32_t referenceDitherState;
extern std::int64_t referenceShiftTotal;

// Each prints the same progress line as its fast counterpart.
void referenceComputeShift(const Raster& input);
void referenceBuildShiftTable();
void referencePerformShift(const Raster& input, Raster& output);
std::int32_t referenceDitherHalf(std::int32_t value);
