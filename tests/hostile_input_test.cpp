// Inputs meant to break the reader, given to the built tool: each must end the
// run with the load error, its reason and exit status 2 and leave nothing on
// disk, and none may make the tool wait.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

class HostileInputTest : public ::testing::Test {
 protected:
  TemporaryDirectory directory;

  void expectRefused(const std::string& input, const std::string& reason) {
    const std::vector<std::string> before = listDirectory(directory.root());
    const ToolRun run = runTool({input, directory.path("out.tga")});
    EXPECT_EQ(run.exitStatus, 2) << input;
    EXPECT_EQ(run.output, loadFailureText(input));
    EXPECT_EQ(run.errors, "lomvera: " + input + ": " + reason + "\n");
    EXPECT_EQ(listDirectory(directory.root()), before) << input;
  }
};

// The crafted hostile files that must stay among the seeds, with the reasons
// of the refused ones.
const std::map<std::string, std::string> kKeptSeeds = {
    {"bad_empty.tga", "not a TGA file"},
    {"bad_short_header.tga", "not a TGA file"},
    {"bad_header_only.tga", "shorter than its picture (18 of 66 bytes)"},
    {"bad_one_byte_short.tga", "shorter than its picture (65 of 66 bytes)"},
    {"bad_32_one_byte_short.tga", "shorter than its picture (81 of 82 bytes)"},
    {"bad_depth_16.tga", "16 bits per pixel (24 and 32 are read)"},
    {"bad_24_with_alpha_bits.tga",
     "unusual pixel order or alpha bits (image descriptor 0x08): save it as plain 24 or 32 bits"},
    {"bad_32_without_alpha_bits.tga",
     "unusual pixel order or alpha bits (image descriptor 0x00): save it as plain 24 or 32 bits"},
    {"bad_right_to_left.tga",
     "unusual pixel order or alpha bits (image descriptor 0x10): save it as plain 24 or 32 bits"},
    {"bad_interleaved.tga",
     "unusual pixel order or alpha bits (image descriptor 0x48): save it as plain 24 or 32 bits"},
    {"bad_type_0.tga", "not a TGA file"},
    {"bad_type_1_colour_mapped.tga", "colour-mapped or greyscale (type 1)"},
    {"bad_type_3.tga", "colour-mapped or greyscale (type 3)"},
    {"bad_type_9.tga", "colour-mapped or greyscale (type 9)"},
    {"bad_type_10_run_length.tga", "run-length encoded (image type 10): save it uncompressed"},
    {"bad_type_11.tga", "colour-mapped or greyscale (type 11)"},
    {"bad_byte3_set.tga", "not a TGA file"},
    {"bad_width_0x8000.tga", "wider or taller than 32767"},
    {"bad_height_0xffff.tga", "wider or taller than 32767"},
    {"bad_huge_claim.tga", "shorter than its picture (100 of 4294705174 bytes)"},
    {"bad_id_255_short.tga", "shorter than its picture (66 of 285 bytes)"},
    {"bad_colour_map_too_big.tga", "shorter than its picture (21 of 262161 bytes)"},
    {"valid_id_field.tga", ""},
    {"valid_colour_map.tga", ""},
    {"valid_32_top_down.tga", ""},
};

// The files of the fuzzer's seed corpus (and its kept findings) say by their
// names what they are: "valid_" files are processed into a complete result,
// "bad_" files are refused, the kept ones with their reasons and the others
// with one line of their own.
TEST_F(HostileInputTest, SeedFilesAreProcessedOrRefusedAsTheirNamesSay) {
  std::set<std::string> seen;
  for (const char* folder : {"fuzz/corpus", "fuzz/regressions"}) {
    const fs::path source = fs::path(LOMVERA_SOURCE_DIR) / folder;
    if (!fs::is_directory(source)) continue;
    for (const auto& entry : fs::directory_iterator(source)) {
      const std::string name = entry.path().filename().string();
      if (entry.path().extension() != ".tga") continue;
      seen.insert(name);
      const Bytes bytes = readBytes(entry.path().string());
      const std::string input = directory.path(name);
      writeBytes(input, bytes);
      if (name.rfind("valid_", 0) == 0) {
        const ToolRun run = runTool({input, directory.path("out.tga")});
        EXPECT_EQ(run.exitStatus, 0) << name;
        EXPECT_EQ(run.errors, "") << name;
        const int width = bytes[12] | bytes[13] << 8;
        const int height = bytes[14] | bytes[15] << 8;
        EXPECT_EQ(readBytes(directory.path("out.tga")).size(), savedFileSize(width, height)) << name;
        ASSERT_EQ(std::remove(directory.path("out.tga").c_str()), 0) << name;
      } else {
        EXPECT_EQ(name.rfind("bad_", 0), 0u) << name << ": seed names start with valid_ or bad_";
        if (kKeptSeeds.count(name) != 0) {
          expectRefused(input, kKeptSeeds.at(name));
        } else {
          const ToolRun run = runTool({input, directory.path("out.tga")});
          EXPECT_EQ(run.exitStatus, 2) << name;
          EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
        }
      }
      ASSERT_EQ(std::remove(input.c_str()), 0);
    }
  }
  for (const auto& kept : kKeptSeeds) EXPECT_EQ(seen.count(kept.first), 1u) << kept.first;
}

// Sizes above 32767 are refused for what they are, not for missing data:
// these files hold every pixel their header asks for.
TEST_F(HostileInputTest, SidesAbove32767AreRefusedEvenWithAllTheirPixels) {
  for (auto [width, height] : {std::pair{0x8000, 1}, {0xFFFF, 1}, {1, 0x8000}, {2, 0xFFFF}}) {
    Bytes file = tgaHeader(width, height, 24, 0);
    file.resize(file.size() + savedFileSize(width, height) - 18, 0x40);
    writeBytes(directory.path("wide.tga"), file);
    expectRefused(directory.path("wide.tga"), "wider or taller than 32767");
  }
}

// Named ones too, with the system's own words where it refused.
TEST_F(HostileInputTest, PipesDevicesAndDirectoriesAreRefusedWithoutWaiting) {
  ASSERT_EQ(mkfifo(directory.path("pipe.tga").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(directory.path("folder.tga").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/zero", directory.path("zero.tga").c_str()), 0);
  const std::string device = "cannot be read twice (a pipe or a terminal): write it to a file first";
  for (const auto& [input, reason] :
       {std::pair{directory.path("pipe.tga"), device}, {directory.path("folder.tga"), std::string("a folder")},
        {directory.path("zero.tga"), device}, {std::string("/dev/null"), device}, {std::string("/dev/zero"), device},
        {directory.path("missing.tga"), std::string("no such file (No such file or directory)")},
        {directory.path("folder.tga/in.tga"), std::string("no such file (No such file or directory)")}}) {
    expectRefused(input, reason);
  }
}

// In a directory run the same entries neither stop nor hold up the run.
TEST_F(HostileInputTest, DirectoryRunGoesPastPipesAndDevices) {
  ASSERT_EQ(mkfifo(directory.path("pipe.tga").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/zero", directory.path("zero.tga").c_str()), 0);
  writeBytes(directory.path("scan.tga"), tgaFile(6, 4, 24, 0, stripedPicture(6, 4, false, 1)));
  const ToolRun run = runTool({directory.root()});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(listDirectory(directory.root()), (std::vector<std::string>{"pipe.tga", "scan.tga", "scan_s.tga", "zero.tga"}));
  EXPECT_EQ(readBytes(directory.path("scan_s.tga")).size(), savedFileSize(6, 4));
}

TEST_F(HostileInputTest, PathsWithSpacesAndNonAsciiBytesAreProcessed) {
  const std::string folder = directory.path("scans 2024 \xC3\xA9t\xC3\xA9");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string input = folder + "/page one \xE2\x98\x80 \xFF.tga";
  const std::string output = folder + "/r\xC3\xA9sultat \xFE.tga";
  writeBytes(input, tgaFile(8, 5, 24, 0, stripedPicture(8, 5, false, 4)));
  const ToolRun run = runTool({input, output});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.output.substr(0, runTextBeforeReport(input, output, 5).size()), runTextBeforeReport(input, output, 5));
  EXPECT_EQ(readBytes(output).size(), savedFileSize(8, 5));
}

}  // namespace
