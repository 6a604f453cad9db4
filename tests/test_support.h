#pragma once

// Helpers shared by the tests: TGA files made byte by byte, a fresh temporary
// directory per test, and running the built tool.

#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"

using Bytes = std::vector<unsigned char>;

// The 18-byte header of an uncompressed TGA file.
Bytes tgaHeader(int width, int height, int depth, int descriptor, int imageType = 2);

// A whole TGA file: header plus the pixels given in file order (first file
// row first), 3 or 4 bytes each by depth.
Bytes tgaFile(int width, int height, int depth, int descriptor, const std::vector<Pixel>& fileOrderPixels);

// A deterministic "photograph": smooth shapes, texture and stripes on every
// second column (or row), with the alpha byte set when alpha is true.
std::vector<Pixel> stripedPicture(int width, int height, bool stripesOnColumns, std::uint32_t seed,
                                  bool alpha = false);

// Three lines of 100 pixels, the middle one 10 levels above its black
// neighbours (lines are rows when landscape), in file order.
std::vector<Pixel> brighterMiddle(bool landscape);
// What the tool makes of that picture when the generator stands at *state
// before it: every table entry of black is 2547 (4.97 levels per half), so
// each half correction is 4 or 5 levels as the generator decides. Advances
// *state and adds the corrections' magnitudes to *total.
std::vector<Pixel> correctedBrighterMiddle(bool landscape, std::uint32_t* state, long long* total);

// The builds of the pixel loops this processor runs: the baseline one
// (false), and the wide vector one (true) where the processor has it.
std::vector<bool> vectorCodes();

Bytes readBytes(const std::string& path);
void writeBytes(const std::string& path, const Bytes& bytes);
bool fileExists(const std::string& path);
std::vector<std::string> listDirectory(const std::string& directory);

// A fresh, empty directory, removed with everything in it on destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  std::string path(const std::string& name) const;
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

struct ToolRun {
  int exitStatus;
  std::string output;  // everything the tool wrote to standard output
  std::string errors;  // everything it wrote to standard error
};

// Runs the built tool with the arguments, in workingDirectory (empty: the
// current one), with standard input taken from the text given.
ToolRun runTool(const std::vector<std::string>& arguments, const std::string& workingDirectory = "",
                const std::string& input = "");

// What the tool prints before and after the stages of one successful file.
std::string bannerText();
std::string loadingText(const std::string& inputPath);
// The three progress lines for a picture with this many lines.
std::string progressText(int lineCount);
