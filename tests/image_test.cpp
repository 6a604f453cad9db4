#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "image/image.h"

namespace {

// Fills an image with distinct values so that every read can be traced back.
void fillNumbered(Image& image) {
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) image.pixels[x + y * image.width] = static_cast<Pixel>(1000 + x + 100 * y);
}

TEST(Image, AccessOutsideThePictureReadsZeroAndWritesNothing) {
  Image image;
  ASSERT_TRUE(image.resize(3, 5));
  fillNumbered(image);
  for (int transposed : {0, 1}) {
    image.transposed = transposed;
    const int aLimit = transposed ? 5 : 3;
    const int bLimit = transposed ? 3 : 5;
    for (auto [a, b] : {std::pair{-1, 0}, {0, -1}, {aLimit, 0}, {0, bLimit}, {-2147483647 - 1, 0}, {0, 2147483647}}) {
      EXPECT_EQ(image.getPixel(a, b), 0u) << a << "," << b;
      image.setPixel(a, b, 0xDEADBEEF);
    }
  }
  image.transposed = 0;
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(image.getPixel(x, y), static_cast<Pixel>(1000 + x + 100 * y));
}

TEST(Image, TransposedViewSwapsTheCoordinates) {
  Image image;
  ASSERT_TRUE(image.resize(3, 5));
  fillNumbered(image);
  image.transposed = 1;
  EXPECT_EQ(image.getPixel(4, 2), static_cast<Pixel>(1000 + 2 + 100 * 4));  // column 2 of row 4
  EXPECT_EQ(image.getPixel(2, 4), 0u);                                      // column 4 does not exist
  image.setPixel(1, 0, 7);
  image.transposed = 0;
  EXPECT_EQ(image.getPixel(0, 1), 7u);
  EXPECT_EQ(image.width, 3);
  EXPECT_EQ(image.height, 5);
}

TEST(Image, ResizeAlwaysGivesAnAllZeroPicture) {
  Image image;
  ASSERT_TRUE(image.resize(4, 2));
  fillNumbered(image);
  image.transposed = 1;
  ASSERT_TRUE(image.resize(4, 2));  // same size: still fresh and zero
  EXPECT_EQ(image.transposed, 1);
  image.transposed = 0;
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(image.getPixel(x, y), 0u);

  ASSERT_TRUE(image.resize(0, 7));
  EXPECT_EQ(image.getPixel(0, 0), 0u);
  EXPECT_FALSE(image.resize(-1, 3));
  EXPECT_EQ(image.width, 0);
  EXPECT_EQ(image.height, 0);
}

TEST(Image, ReleaseEmptiesButKeepsTheView) {
  Image image;
  ASSERT_TRUE(image.resize(2, 2));
  fillNumbered(image);
  image.transposed = 1;
  image.release();
  EXPECT_EQ(image.width, 0);
  EXPECT_EQ(image.height, 0);
  EXPECT_EQ(image.pixels, nullptr);
  EXPECT_EQ(image.transposed, 1);
  EXPECT_EQ(image.getPixel(0, 0), 0u);
  image.clear();  // no storage: nothing to do
}

TEST(Image, WriteBufferIsAllocatedOnceForTheProcess) {
  ASSERT_NE(writeBuffer, nullptr);
  unsigned char* const first = writeBuffer.get();
  Image another;
  EXPECT_EQ(writeBuffer.get(), first);
}

#ifdef __linux__
// The VmFlags line of the mapping that holds `address`, from /proc/self/smaps.
std::string mappingFlagsOf(const void* address) {
  const std::uintptr_t wanted = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    std::uintptr_t start = 0, end = 0;
    char dash = 0;
    std::istringstream range(line);
    if (range >> std::hex >> start >> dash >> end && dash == '-') inside = start <= wanted && wanted < end;
    if (inside && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}

// Huge pages are asked for only while hugePagesForPixels is on, and then the
// storage is aligned to 2 MiB. Either way the storage starts all zero and
// holds what is written to it.
TEST(Image, LargeStorageAsksForHugePagesOnlyWhenSwitchedOn) {
  const bool byDefault = hugePagesForPixels;
  const std::uintptr_t hugePage = std::uintptr_t{2} << 20;
  for (bool huge : {true, false}) {
    hugePagesForPixels = huge;
    Image image;
    ASSERT_TRUE(image.resize(1500, 1001));  // 5.7 MiB, not a multiple of 2 MiB
    if (huge) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(image.pixels) % hugePage, 0u);
    }
    std::size_t nonZero = 0;
    for (std::size_t i = 0; i < image.pixelCount(); ++i) nonZero += image.pixels[i] != 0;
    EXPECT_EQ(nonZero, 0u);
    fillNumbered(image);
    EXPECT_EQ(image.getPixel(1499, 1000), static_cast<Pixel>(1000 + 1499 + 100 * 1000));
    const std::string flags = mappingFlagsOf(image.pixels + image.pixelCount() / 2);
    ASSERT_NE(flags, "");
    EXPECT_EQ(flags.find(" hg") != std::string::npos, huge) << flags;
    ASSERT_TRUE(image.resize(3, 3));  // small storage after large, and back
    EXPECT_EQ(image.getPixel(2, 2), 0u);
  }
  hugePagesForPixels = byDefault;
}
#endif

}  // namespace
