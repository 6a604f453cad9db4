// Writes a set of striped test pictures of several shapes and formats into a
// directory, for comparing the results of two builds of the tool.
// Usage: make_test_pictures directory

#include <cstdio>
#include <string>

#include "test_support.h"

namespace {

struct TestPicture {
  const char* name;
  int width, height, depth, descriptor;
  std::uint32_t seed;
};

// Names that every listing order sorts alike (distinct lower-case first
// letters), so that directory runs process them in the same order. The last
// two are large enough for the tool to use every processor it may.
const TestPicture kPictures[] = {
    {"a-portrait.tga", 61, 90, 24, 0x00, 1},   {"b-landscape-alpha.tga", 97, 40, 32, 0x28, 2},
    {"c-square.tga", 64, 64, 24, 0x20, 3},     {"d-tiny.tga", 2, 3, 24, 0x00, 4},
    {"e-large.tga", 700, 480, 24, 0x00, 5},    {"f-one-row.tga", 50, 1, 32, 0x08, 6},
    {"g-wide.tga", 1500, 800, 32, 0x28, 7},    {"h-tall.tga", 801, 1400, 24, 0x00, 8},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: make_test_pictures directory\n");
    return 1;
  }
  for (const TestPicture& p : kPictures) {
    const bool stripesOnColumns = p.width <= p.height;
    const std::vector<Pixel> pixels = stripedPicture(p.width, p.height, stripesOnColumns, p.seed, p.depth == 32);
    writeBytes(joinPath(argv[1], p.name), tgaFile(p.width, p.height, p.depth, p.descriptor, pixels));
  }
  return 0;
}
