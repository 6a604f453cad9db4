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

// The text of an installed file; a .gz file as gzip -d gives it back, and
// Windows line ends as "\n".
std::string installedText(const std::string& name) {
  const std::string path = joinPath(kPrefix, name);
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) return runProgram("gzip", {"-dc", path}).output;
  const Bytes bytes = readBytes(path);
  std::string text(bytes.begin(), bytes.end());
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

std::string sourceText(const std::string& name) {
  const Bytes bytes = readBytes(joinPath(LOMVERA_SOURCE_DIR, name));
  return std::string(bytes.begin(), bytes.end());
}

TEST(InstalledTool, PrefixHoldsTheToolAndItsDocumentationOnly) {
  std::vector<std::string> installed;
  for (const auto& entry : fs::recursive_directory_iterator(kPrefix)) {
    if (entry.is_regular_file()) installed.push_back(fs::relative(entry.path(), kPrefix).generic_string());
  }
  std::sort(installed.begin(), installed.end());
  const std::string documentation = std::string(LOMVERA_INSTALLED_MANUAL) + LOMVERA_INSTALLED_README;
  const std::string changelog = LOMVERA_INSTALLED_CHANGELOG;
  std::vector<std::string> expected = {LOMVERA_INSTALLED_TOOL, documentation, LOMVERA_INSTALLED_LICENSE};
  if (!changelog.empty()) expected.push_back(changelog);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(installed, expected);

  EXPECT_EQ(installedText(LOMVERA_INSTALLED_LICENSE), sourceText("LICENSE"));
  if (!changelog.empty()) {
    EXPECT_EQ(installedText(changelog), sourceText("doc/changelog"));
  }
  const std::string page = installedText(documentation);
#ifdef _WIN32
  // A readme and a licence for Notepad: Windows line ends throughout.
  EXPECT_NE(page.find("lomvera.exe"), std::string::npos);
  for (const std::string& name : {documentation, std::string(LOMVERA_INSTALLED_LICENSE)}) {
    const Bytes bytes = readBytes(joinPath(kPrefix, name));
    EXPECT_EQ(std::regex_search(std::string(bytes.begin(), bytes.end()), std::regex("[^\r]\n")), false) << name;
  }
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

  const ToolRun run = runBuiltProgram(tool, {input, output});
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

  const ToolRun missing = runBuiltProgram(tool, {directory.path("missing.tga"), output});
  EXPECT_EQ(missing.exitStatus, 2);
}

}  // namespace
