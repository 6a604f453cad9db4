#pragma once

// What the tool prints, built from its parts, and what a call prints.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Everything that `call` prints on standard output.
template <typename Call>
std::string consoleOf(Call call) {
  testing::internal::CaptureStdout();
  call();
  return testing::internal::GetCapturedStdout();
}

// What the tool prints before and after the stages of one successful file.
std::string bannerText();
std::string loadingText(const std::string& inputPath);
// Whether a walk over lineCount lines prints a dot after its step at this line.
inline bool dotAfterStep(int line, int lineCount) {
  const int interval = (lineCount / 50) & 0xFFFE;
  return interval == 0 || line % interval == 0;
}
// The three progress lines for a picture with this many lines.
std::string progressText(int lineCount);
// Everything a single-file run prints up to its report line, or up to its
// save error: banner, loading line, progress lines and saving line.
std::string runTextBeforeReport(const std::string& input, const std::string& output, int lineCount);
// The average shifts of the report lines in the console text, in order.
std::vector<double> reportedShifts(const std::string& output);
// The usage text with the "Press ENTER" after it.
std::string usageText();
// What a single-file run prints when its input cannot be loaded.
std::string loadFailureText(const std::string& input);
// Whether standard error holds just the line that tells why the file at path
// failed: "lomvera: PATH: REASON", the system's own text in brackets after
// the reason or not (its words differ between systems).
bool isFailureLine(const std::string& errors, const std::string& path, const std::string& reason);
// The exact size of a 24-bit TGA file with the picture's size.
std::uint64_t savedFileSize(int width, int height);
