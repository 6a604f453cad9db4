// The tool as installed by `cmake --install` into a test prefix (the test
// fixture installs it before this program runs): the prefix holds exactly the
// files a user gets, and the installed tool corrects a picture.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "correction/generator.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string kPrefix = besideTestProgram("install-test-prefix");

TEST(InstalledTool, PrefixHoldsTheToolAndItsDocumentationOnly) {
  std::vector<std::string> installed;
  for (const auto& entry : fs::recursive_directory_iterator(kPrefix)) {
    if (entry.is_regular_file()) installed.push_back(fs::relative(entry.path(), kPrefix).generic_string());
  }
  std::sort(installed.begin(), installed.end());
  std::vector<std::string> expected = {LOMVERA_INSTALLED_TOOL};
  const std::string documentation = std::string(LOMVERA_INSTALLED_MANUAL) + LOMVERA_INSTALLED_README;
  expected.push_back(documentation);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(installed, expected);

  const Bytes text = readBytes(joinPath(kPrefix, documentation));
  const std::string page(text.begin(), text.end());
#ifdef _WIN32
  // A readme for Notepad: Windows line ends throughout.
  EXPECT_NE(page.find("lomvera.exe"), std::string::npos);
  EXPECT_EQ(std::regex_search(page, std::regex("[^\r]\n")), false);
#else
  EXPECT_EQ(page.rfind(".TH LOMVERA 1 ", 0), 0u);
  for (const char* section : {"SYNOPSIS", "DESCRIPTION", "FILES READ AND WRITTEN", "OUTPUT", "EXIT STATUS", "EXAMPLES"})
    EXPECT_TRUE(std::regex_search(page, std::regex(std::string("\n\\.SH \"?") + section + "\"?\n"))) << section;
#endif
}

TEST(InstalledTool, CorrectsATinyPictureAndReportsIt) {
  TemporaryDirectory directory;
  const std::string tool = joinPath(kPrefix, fs::path(LOMVERA_INSTALLED_TOOL).make_preferred().string());
  const std::string input = directory.path("in.tga");
  const std::string output = directory.path("out.tga");
  writeBytes(input, tgaFile(3, 100, 24, 0, brighterMiddle(false)));

  const ToolRun run = runProgram(tool, {input, output});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.errors, "");
  std::uint32_t state = kDitherSeed;  // the generator from its start
  long long total = 0;
  EXPECT_EQ(readBytes(output), tgaFile(3, 100, 24, 0, correctedBrighterMiddle(false, &state, &total)));
  char report[80];
  std::snprintf(report, sizeof report, "\n\nstripes: vertical, average shift: %.3f, processing time: ",
                static_cast<double>(total) / 900.0);
  EXPECT_EQ(run.output.rfind(bannerText() + loadingText(input), 0), 0u) << run.output;
  EXPECT_NE(run.output.find(report), std::string::npos) << run.output;

  const ToolRun missing = runProgram(tool, {directory.path("missing.tga"), output});
  EXPECT_EQ(missing.exitStatus, 2);
}

}  // namespace
