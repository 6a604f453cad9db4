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

// Exit status of a run that had to be stopped because it took too long.
constexpr int kToolTimedOut = 124;

// Runs the built tool with the arguments, in workingDirectory (empty: the
// current one), with standard input taken from the text given. shellSetup
// is run by the shell that starts the tool, before it (for example "ulimit
// -f 100"). A run still going after 60 seconds is stopped, with exit status
// kToolTimedOut, so that a tool waiting on its input cannot hang the tests.
ToolRun runTool(const std::vector<std::string>& arguments, const std::string& workingDirectory = "",
                const std::string& input = "", const std::string& shellSetup = "");

// Quotes text for the POSIX shell.
std::string shellQuoted(const std::string& text);

// What the tool prints before and after the stages of one successful file.
std::string bannerText();
std::string loadingText(const std::string& inputPath);
// The three progress lines for a picture with this many lines.
std::string progressText(int lineCount);
// Everything a single-file run prints up to its report line, or up to its
// save error: banner, loading line, progress lines and saving line.
std::string runTextBeforeReport(const std::string& input, const std::string& output, int lineCount);
// What a single-file run prints when its input cannot be loaded.
std::string loadFailureText(const std::string& input);
// The exact size of a 24-bit TGA file with the picture's size.
std::uint64_t savedFileSize(int width, int height);
