#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#ifdef _WIN32
#include <windows.h>
#endif

#include "driver/driver.h"
#include "correction/generator.h"
#include "correction/parallel_runs.h"
#include "test_support.h"

namespace {

std::string reportPattern(const std::string& orientation, const std::string& shift) {
  return "\n\nstripes: " + orientation + ", average shift: " + shift + ", processing time: [0-9]+\\.[0-9]s\n";
}

// Checks a successful run's console output piece by piece and returns the
// average shift it reported.
std::string expectSuccessfulRun(const ToolRun& run, const std::string& input, const std::string& output,
                                int lineCount, const std::string& orientation) {
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.errors, "");
  const std::string head = runTextBeforeReport(input, output, lineCount);
  EXPECT_EQ(run.output.substr(0, head.size()), head);
  const std::string report = run.output.size() > head.size() ? run.output.substr(head.size()) : "";
  std::smatch match;
  const std::regex pattern(reportPattern(orientation, "([0-9]+\\.[0-9]{3})"));
  EXPECT_TRUE(std::regex_match(report, match, pattern)) << report;
  return match.size() > 1 ? match[1].str() : "";
}

class DriverTest : public ::testing::Test {
 protected:
  TemporaryDirectory directory;
  std::string in(const std::string& name = "in.tga") { return directory.path(name); }
};

TEST_F(DriverTest, OrientationFollowsTheLongerSide) {
  struct Shape {
    int width, height, lineCount;
    const char* orientation;
  };
  for (const Shape& shape : {Shape{600, 400, 400, "horizontal"}, Shape{400, 600, 400, "vertical"},
                             Shape{300, 300, 300, "vertical"}, Shape{1, 7, 1, "vertical"},
                             Shape{7, 1, 1, "horizontal"}}) {
    const bool columns = std::string(shape.orientation) == "vertical";
    writeBytes(in(), tgaFile(shape.width, shape.height, 24, 0, stripedPicture(shape.width, shape.height, columns, 5)));
    const ToolRun run = runTool({in(), directory.path("out.tga")});
    expectSuccessfulRun(run, in(), directory.path("out.tga"), shape.lineCount, shape.orientation);
    const Bytes saved = readBytes(directory.path("out.tga"));
    ASSERT_EQ(saved.size(), 18u + 3u * shape.width * shape.height);
    EXPECT_EQ(saved[12] | saved[13] << 8, shape.width);
    EXPECT_EQ(saved[14] | saved[15] << 8, shape.height);
  }
}

// Three lines of 100 pixels, the middle one 10 levels above its black
// neighbours: every table entry of black is 2547 (4.97 levels per half), so
// each half correction is 4 or 5 levels as the generator decides.
TEST_F(DriverTest, BrighterMiddleLineIsCorrectedExactly) {
  for (bool landscape : {false, true}) {
    const int width = landscape ? 100 : 3;
    const int height = landscape ? 3 : 100;
    writeBytes(in(), tgaFile(width, height, 32, 0x08, brighterMiddle(landscape)));
    const ToolRun run = runTool({in(), directory.path("out.tga")});

    std::uint32_t state = kDitherSeed;  // the generator from its start
    long long total = 0;
    const std::vector<Pixel> expected = correctedBrighterMiddle(landscape, &state, &total);
    char shift[32];
    std::snprintf(shift, sizeof shift, "%.3f", static_cast<double>(total) / 900.0);
    EXPECT_EQ(expectSuccessfulRun(run, in(), directory.path("out.tga"), 3, landscape ? "horizontal" : "vertical"),
              shift);
    EXPECT_EQ(readBytes(directory.path("out.tga")), tgaFile(width, height, 24, 0, expected));
  }
}

TEST_F(DriverTest, InputAndOutputMayBeTheSameFile) {
  const Bytes original = tgaFile(40, 30, 24, 0x20, stripedPicture(40, 30, false, 9));
  writeBytes(in("a.tga"), original);
  writeBytes(in("b.tga"), original);
  ASSERT_EQ(runTool({in("a.tga"), in("a-out.tga")}).exitStatus, 0);
  ASSERT_EQ(runTool({in("b.tga"), in("b.tga")}).exitStatus, 0);
  EXPECT_EQ(readBytes(in("b.tga")), readBytes(in("a-out.tga")));
  EXPECT_NE(readBytes(in("b.tga")), original);
  EXPECT_EQ(listDirectory(directory.root()), (std::vector<std::string>{"a-out.tga", "a.tga", "b.tga"}));
}

TEST_F(DriverTest, ReadOnlyInputIsProcessed) {
  writeBytes(in(), tgaFile(20, 10, 24, 0, stripedPicture(20, 10, false, 3)));
  makeReadOnly(in());
  const ToolRun run = runTool({in(), directory.path("out.tga")});
  expectSuccessfulRun(run, in(), directory.path("out.tga"), 10, "horizontal");
}

TEST_F(DriverTest, EmptyPictureReportsNoShift) {
  for (auto [width, height] : {std::pair{0, 0}, {0, 4}, {5, 0}}) {
    writeBytes(in(), tgaHeader(width, height, 24, 0));
    const ToolRun run = runTool({in(), directory.path("out.tga")});
    const int lineCount = std::min(width, height);
    EXPECT_EQ(expectSuccessfulRun(run, in(), directory.path("out.tga"), lineCount,
                                  width > height ? "horizontal" : "vertical"),
              "0.000");
    EXPECT_EQ(readBytes(directory.path("out.tga")), tgaHeader(width, height, 24, 0));
  }
}

// The error line on standard output is the same for every cause; standard
// error tells which.
TEST_F(DriverTest, InputThatCannotBeLoadedEndsWithStatusTwoAndNoOutput) {
  Bytes truncated = tgaFile(10, 10, 24, 0, stripedPicture(10, 10, true, 1));
  truncated.pop_back();
  writeBytes(in("truncated.tga"), truncated);
  writeBytes(in("sixteen.tga"), tgaFile(2, 2, 16, 0, {1, 2, 3, 4}));
  writeBytes(in("short.tga"), {0, 0, 2});
  writeBytes(in("rle.tga"), tgaHeader(2, 2, 24, 0, 10));
  writeBytes(in("grey.tga"), tgaHeader(2, 2, 8, 0, 3));
  makeDirectory(in("folder.tga"));
  for (const auto& [input, reason] :
       {std::pair{in("missing.tga"), "no such file"},
        {in("truncated.tga"), "shorter than its picture (317 of 318 bytes)"},
        {in("sixteen.tga"), "16 bits per pixel (24 and 32 are read)"},
        {in("short.tga"), "not a TGA file"},
        {in("rle.tga"), "run-length encoded (image type 10): save it uncompressed"},
        {in("grey.tga"), "colour-mapped or greyscale (type 3)"},
        {in("folder.tga"), "a folder"}}) {
    const ToolRun run = runTool({input, directory.path("out.tga")});
    EXPECT_EQ(run.exitStatus, 2) << input;
    EXPECT_EQ(run.output, bannerText() + loadingText(input) + "\nError: cannot open file " + input + "\n");
    EXPECT_TRUE(isFailureLine(run.errors, input, reason)) << run.errors;
    EXPECT_FALSE(fileExists(directory.path("out.tga")));
  }
}

TEST_F(DriverTest, OutputThatCannotBeSavedEndsWithStatusThree) {
  writeBytes(in(), tgaFile(20, 30, 24, 0, stripedPicture(20, 30, true, 2)));
  for (const auto& [output, reason] :
       {std::pair{joinPath(directory.path("no"), "out.tga"), "the folder does not exist"},
        {directory.root(), "a folder"}}) {
    const ToolRun run = runTool({in(), output});
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.output,
              runTextBeforeReport(in(), output, 20) + "\nError: cannot save result to file " + output + "\n");
    EXPECT_TRUE(isFailureLine(run.errors, output, reason)) << run.errors;
  }
  EXPECT_EQ(listDirectory(directory.root()), std::vector<std::string>{"in.tga"});
}

// The console messages are only a report: a reader that has gone away ends
// neither a single-file run nor a directory run, nor changes their status.
TEST_F(DriverTest, ClosedStandardOutputStopsNothing) {
  writeBytes(in(), tgaFile(300, 200, 24, 0, stripedPicture(300, 200, false, 4)));
  EXPECT_EQ(runToolIntoClosedPipe({in(), directory.path("out.tga")}), 0);
  EXPECT_EQ(readBytes(directory.path("out.tga")).size(), savedFileSize(300, 200));
  EXPECT_EQ(runToolIntoClosedPipe({in("missing.tga"), directory.path("other.tga")}), 2);
  EXPECT_EQ(runToolIntoClosedPipe({directory.root()}), 0);
  EXPECT_EQ(listDirectory(directory.root()), (std::vector<std::string>{"in.tga", "in_s.tga", "out.tga", "out_s.tga"}));
}

// A scan that another program still holds open, for writing too, is read
// like any other file. Names in scripts outside the system's code page are
// loaded, saved and printed in UTF-8, in both modes. A device takes the
// result directly, with nothing to replace.
TEST_F(DriverTest, HeldInputsNamesInAnyScriptAndTheNullDevice) {
  const std::string photo = in("\xE5\x86\x99\xE7\x9C\x9F.tga");        // "photograph" in Japanese
  const std::string foto = in("\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE.tga");  // "photo" in Russian
  writeBytes(in(), tgaFile(20, 10, 24, 0, stripedPicture(20, 10, false, 3)));
  std::FILE* held = std::fopen(in().c_str(), "r+b");
  ASSERT_NE(held, nullptr);
  const ToolRun run = runTool({in(), photo});
  std::fclose(held);
  expectSuccessfulRun(run, in(), photo, 10, "horizontal");
  expectSuccessfulRun(runTool({photo, foto}), photo, foto, 10, "horizontal");
#ifdef _WIN32
  const std::string nullDevice = "NUL";
#else
  const std::string nullDevice = "/dev/null";
#endif
  expectSuccessfulRun(runTool({foto, nullDevice}), foto, nullDevice, 10, "horizontal");

  const ToolRun batch = runTool({directory.root()});
  for (const std::string& input : {photo, foto}) {
    EXPECT_NE(batch.output.find(loadingText(input) + "\n"), std::string::npos) << batch.output;
    EXPECT_NE(batch.output.find("saving output file " + resultPathFor(input) + "\n\nstripes: "), std::string::npos);
  }
  EXPECT_EQ(listDirectory(directory.root()),
            (std::vector<std::string>{"in.tga", "in_s.tga", "\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE.tga",
                                      "\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE_s.tga", "\xE5\x86\x99\xE7\x9C\x9F.tga",
                                      "\xE5\x86\x99\xE7\x9C\x9F_s.tga"}));
}

// A folder longer than the 246 characters for which Windows makes temporary
// names of its own (247 under Wine) still takes an output whose path the
// system accepts (under 260 characters).
TEST_F(DriverTest, OutputInAFolderOfALongPath) {
  ASSERT_LT(directory.root().size(), 200u);
  const std::string folder = directory.path(std::string(249 - directory.root().size(), 'f'));
  ASSERT_EQ(folder.size(), 250u);
#ifdef _WIN32
  // Only the long path form creates a folder of that length on Windows.
  ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::u8path("\\\\?\\" + folder)));
#else
  makeDirectory(folder);
#endif
  writeBytes(in(), tgaFile(20, 30, 24, 0, stripedPicture(20, 30, true, 2)));
  expectSuccessfulRun(runTool({in(), joinPath(folder, "o.tga")}), in(), joinPath(folder, "o.tga"), 20, "vertical");
  EXPECT_EQ(listDirectory(folder), std::vector<std::string>{"o.tga"});
}

// The words with which users ask for help or the version, given alone, get
// the usage text without the wait, or the version, as long as they name
// nothing: a folder of that name is still a folder.
TEST_F(DriverTest, WrongArgumentCountsShowTheUsageAndWaitForOneCharacterHelpAndVersionDoNot) {
  const std::string help = usageText().substr(0, usageText().find("\n\nPress ENTER"));
  const std::string version = "lomvera " + bannerText().substr(8, bannerText().find(' ', 8) - 8) + "\n";
  for (const auto& [arguments, status, text] :
       {std::tuple{std::vector<std::string>{"a", "b", "c"}, 1, usageText()},
        {std::vector<std::string>{"a", "b", "c", "d", "e"}, 1, usageText()},
        {std::vector<std::string>{"--help"}, 0, help},
        {std::vector<std::string>{"-h"}, 0, help},
        {std::vector<std::string>{"-?"}, 0, help},
        {std::vector<std::string>{"/?"}, 0, help},
        {std::vector<std::string>{"--version"}, 0, version}}) {
    for (const std::string& input : {std::string(""), std::string("\nrest")}) {
      const ToolRun run = runTool(arguments, directory.root(), input);
      EXPECT_EQ(run.exitStatus, status) << arguments[0];
      EXPECT_EQ(run.output, bannerText() + text);
      EXPECT_EQ(run.errors, "");
    }
  }
  EXPECT_TRUE(std::regex_match(version, std::regex("lomvera [0-9]+\\.[0-9]+\\.[0-9]+\n")));
  EXPECT_TRUE(listDirectory(directory.root()).empty());
  EXPECT_EQ(usageText().find("\n\nPress ENTER"), 257u);

  makeDirectory(directory.path("--help"));
  writeBytes(joinPath(directory.path("--help"), "a.tga"), tgaFile(6, 5, 24, 0, stripedPicture(6, 5, false, 1)));
  EXPECT_EQ(runTool({"--help"}, directory.root()).exitStatus, 0);
  EXPECT_TRUE(fileExists(joinPath(directory.path("--help"), "a_s.tga")));
}

#ifdef _WIN32
// Where the handles this process holds are counted.
enum class HandleCount { kProcess, kSystemTable };

// GetProcessHandleCount's count, or this process's entries in the system's
// table of handles (SystemExtendedHandleInformation, whose entries are laid
// out as below); -1 when the source cannot be read.
long handlesHeld(HandleCount source) {
  if (source == HandleCount::kProcess) {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<long>(count) : -1;
  }
  struct Entry {
    void* object;
    ULONG_PTR process;
    ULONG_PTR handle;
    ULONG access;
    USHORT backTrace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
  };
  struct Table {
    ULONG_PTR count;
    ULONG_PTR reserved;
    Entry entries[1];
  };
  using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
  // Through a function of no arguments, which any function type may be cast to.
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  constexpr int kSystemExtendedHandleInformation = 64;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<Table> buffer(4096);
  LONG status = kInfoLengthMismatch;
  while (query != nullptr && status == kInfoLengthMismatch && buffer.size() < (std::size_t{1} << 20)) {
    status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(Table)),
                   nullptr);
    if (status == kInfoLengthMismatch) buffer.resize(buffer.size() * 2);
  }
  if (query == nullptr || status != 0) return -1;
  const Table& table = buffer.front();
  long held = 0;
  for (ULONG_PTR i = 0; i < table.count; ++i) held += table.entries[i].process == GetCurrentProcessId();
  return held;
}

// Whether the source counts: one more handle while an event is open, and as
// many as before once it is closed.
bool counts(HandleCount source) {
  const long before = handlesHeld(source);
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const long during = handlesHeld(source);
  CloseHandle(event);
  return before >= 0 && during == before + 1 && handlesHeld(source) == before;
}

// Files corrected one after another on several threads, with runs spread
// over them, give back every handle they took: after 20 files the process
// holds as many as after the first (which started the kept threads). Files
// 2 to 10 create their outputs, 11 to 20 replace them.
TEST_F(DriverTest, FilesCorrectedOnThreadsGiveBackTheirHandles) {
  HandleCount source = HandleCount::kProcess;
  if (!counts(source)) source = HandleCount::kSystemTable;
  if (!counts(source)) {
    GTEST_SKIP() << "no count of this process's handles moves as a handle is opened and closed "
                 << "(GetProcessHandleCount gives " << handlesHeld(HandleCount::kProcess) << ")";
  }
  writeBytes(in(), tgaFile(200, 150, 24, 0, stripedPicture(200, 150, false, 7)));
  forceWorkerThreads(3);
  forceRowBlockPixels(64);
  std::vector<long> held;
  consoleOf([&] {
    for (int file = 0; file < 20; ++file) {
      const std::string output = directory.path("out" + std::to_string(file % 10) + ".tga");
      EXPECT_EQ(processFile(in().c_str(), output.c_str()), kProcessed) << file;
      held.push_back(handlesHeld(source));
    }
  });
  forceWorkerThreads(0);
  forceRowBlockPixels(0);
  std::string counted;
  for (const long count : held) counted += " " + std::to_string(count);
  EXPECT_EQ(held.back(), held.front()) << (source == HandleCount::kProcess ? "GetProcessHandleCount" : "system table")
                                       << " after each file:" << counted;
  EXPECT_EQ(listDirectory(directory.root()).size(), 11u);
}
#endif

TEST(Banner, IsOneLineWithNameVersionAndDateFollowedByAnEmptyLine) {
  const std::regex banner("Lomvera [0-9]+\\.[0-9]+\\.[0-9]+ \\([0-9]{4}-[0-9]{2}-[0-9]{2}\\)\n\n");
  EXPECT_TRUE(std::regex_match(bannerText(), banner));
  const ToolRun run = runTool({"a", "b", "c"});
  EXPECT_EQ(run.output.substr(0, bannerText().size()), bannerText());
}

TEST(ElapsedTime, IsAnUnsignedDifferenceOfTicks) {
  EXPECT_DOUBLE_EQ(elapsedSeconds(1000, 3500), 2.5);
  EXPECT_DOUBLE_EQ(elapsedSeconds(0xFFFFFF00u, 0x100u), 0.512);
  EXPECT_DOUBLE_EQ(elapsedSeconds(7, 7), 0.0);
}

}  // namespace
