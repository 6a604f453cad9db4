#pragma once

// Helpers shared by the tests: TGA files made byte by byte, a fresh temporary
// directory per test, and running the built tool. The same tests run on
// Linux and on Windows; the few places where the two differ are in here.

#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"
#include "platform/platform.h"

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
// The names in a directory, sorted byte by byte.
std::vector<std::string> listDirectory(const std::string& directory);
// Takes away every write permission (on Windows: sets the read-only attribute).
void makeReadOnly(const std::string& path);
void makeDirectory(const std::string& path);

// directory, the platform's separator, name.
std::string joinPath(const std::string& directory, const std::string& name);
// A file in the directory of the running test program, where the build puts
// the tool too.
std::string besideTestProgram(const std::string& name);
// The path of the built tool.
std::string toolExecutable();

// A fresh, empty directory, removed with everything in it on destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  // A name in the directory, joined with the platform's separator.
  std::string path(const std::string& name) const;
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

struct ToolRun {
  int exitStatus;
  // Everything the program wrote to standard output and to standard error.
  // Line ends are "\n" whatever the platform writes: a Windows console
  // program ends its text lines with "\r\n".
  std::string output;
  std::string errors;
};

// Exit status of a run that had to be stopped because it took too long.
constexpr int kToolTimedOut = 124;

// Runs a program with the arguments, in workingDirectory (empty: the current
// one), with standard input taken from the text given, and waits for it.
// On POSIX, shellSetup is run by the shell that starts the program, before
// it (for example "ulimit -f 100"), and a run still going after 60 seconds
// is stopped with exit status kToolTimedOut, so that a tool waiting on its
// input cannot hang the tests.
ToolRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& workingDirectory = "", const std::string& input = "",
                   const std::string& shellSetup = "");
// The same with the built tool.
ToolRun runTool(const std::vector<std::string>& arguments, const std::string& workingDirectory = "",
                const std::string& input = "", const std::string& shellSetup = "");
// The names of the input files in the order in which a directory run loaded
// them, taken from its console output.
std::vector<std::string> loadedFileNames(const std::string& output);

#ifndef _WIN32
// Quotes text for the POSIX shell.
std::string shellQuoted(const std::string& text);
#endif

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
