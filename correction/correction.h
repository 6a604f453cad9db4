#pragma once

// Stripe removal in three stages, run once per file in this order:
//   computeShift     measures, per quantised colour and channel, how far each
//                    odd line lies from the mean of its two even neighbours
//                    (statistics.cpp);
//   buildShiftTable  turns those measurements into a correction table
//                    (shift_table.cpp);
//   performShift     applies half of each correction to the odd pixel and
//                    half to the even one, rounded with the generator
//                    (application.cpp, generator.h).
// computeShift reads the picture from inputImage once; performShift reads it
// again and writes the corrected rows to outputImage.

#include <cstddef>
#include <cstdint>

#include "image/image.h"
#include "platform/platform.h"

// The current picture's lines: lineCount lines (the shorter side) of
// lineLength pixels (the longer side); lines are rows of the picture when
// inputImage is transposed, columns otherwise. Set for each file before the
// stages run.
extern std::int32_t lineCount;
extern std::int32_t lineLength;
// Sum of the magnitudes of all corrections applied to the current file.
extern std::int64_t shiftTotal;

constexpr std::int64_t kTableUnitsPerLevel = 256;
constexpr std::int64_t kCountPerSample = 2;

constexpr int kCellCount = 32768;  // colours quantised to 5 bits per channel
constexpr int kChannelCount = 3;   // 0 red, 1 green, 2 blue

// The table index of a colour, its ColourCell: (red >> 3) * 1024 +
// (green >> 3) * 32 + (blue >> 3), that is the top five bits of each channel
// of a Pixel moved next to each other.
constexpr Pixel kCellRedBits = 0x7C00;   // of the pixel shifted right by 9
constexpr Pixel kCellGreenBits = 0x03E0; // of the pixel shifted right by 6
constexpr Pixel kCellBlueBits = 0x001F;  // of the pixel shifted right by 3
inline std::int32_t colourCellOf(Pixel p) {
  return static_cast<std::int32_t>(((p >> 9) & kCellRedBits) | ((p >> 6) & kCellGreenBits) | ((p >> 3) & kCellBlueBits));
}
// The same bits left in their bytes, as the wide kernels take them: with b,
// g and r the bytes of p & kCellBitsOfBytes, eight times the cell is
// b + 32 x g + 1024 x r.
constexpr Pixel kCellBitsOfBytes = 0x00F8F8F8;
static_assert((kCellRedBits << 9 | kCellGreenBits << 6 | kCellBlueBits << 3) == kCellBitsOfBytes,
              "the bytes keep the bits that make the cell");

// The loops over every cell go through the cells in blocks of this many: a
// picture samples few cells, and a block of cells whose entries are all 0
// is passed over at once.
constexpr int kCellsPerBlock = 128;
// Whether the `bytes` bytes at `data` are all 0; at most the bytes of one
// block of shiftSums.
bool bytesAreZero(const void* data, std::size_t bytes);

// The correction tables, together in one block aligned for a large page
// (platform.h), which the stages touch in full for every file.
struct alignas(kLargePageAlignment) CorrectionTables {
  std::int64_t sums[kCellCount][kChannelCount];
  std::int64_t counts[kCellCount][kChannelCount];
  std::int32_t table[kCellCount][kChannelCount];
};
extern CorrectionTables correctionTables;
// Per cell and channel: the sum of 2b - a - c over the cell's samples, and
// twice the number of samples. 64-bit, so that no picture can overflow them.
extern std::int64_t (&shiftSums)[kCellCount][kChannelCount];
extern std::int64_t (&shiftCounts)[kCellCount][kChannelCount];
// Per cell and channel: the odd lines' mean offset in 1/kTableUnitsPerLevel
// colour levels. Each sample adds kCountPerSample to its cell's counts.
extern std::int32_t (&shiftTable)[kCellCount][kChannelCount];

// The stages expect lineCount and lineLength to describe inputImage in its
// current view, and outputImage to have its size. Each prints its progress
// line. When the input cannot be read the stages still print every dot, and
// the generator still ends where it would have; inputImage.closeTga() then
// reports the failure. Of the corrected rows, those of the runs before the
// first that could not be read reach the output, and none when computeShift
// could not read its rows: the same bytes at any number of threads. A stage
// that cannot finish its work (memory ran out) makes outputImage fail
// (Image::failWrites). performShift writes the output file's pixel data
// (outputImage.createTga must have been called) and expects shiftTable
// entries below kTableMagnitudeBound (kernels.h), as buildShiftTable makes
// them.
void computeShift();
void buildShiftTable();
void performShift();
// The generator's state after the current picture's draws from `start`,
// where performShift leaves it and where a file that fails after its loading
// leaves it too.
std::uint32_t stateAfterPicture(std::uint32_t start);

// How the last computeShift and performShift spread their runs of rows over
// threads: the threads that took part, the calling thread included, and the
// runs (both 0 for a pass without work). For the timed build's report and
// the fuzz target.
struct PassSpread {
  int threads = 0;
  std::int32_t runs = 0;
};
extern PassSpread statisticsSpread;
extern PassSpread correctionSpread;

// Storage rows read or written together: about kRowBlockPixels pixels, an
// even number of rows and at least two, so that no pair of lines is split.
constexpr std::int32_t kRowBlockPixels = 1 << 15;
std::int32_t rowsPerBlock(std::int32_t width);
