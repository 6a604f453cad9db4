// The platform layer: what the rest of the tool relies on, checked the same
// way on every platform.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#endif

#include "platform/platform.h"
#include "test_support.h"

namespace {

std::vector<std::string> sortedNames(const std::vector<DirectoryEntry>& entries) {
  std::vector<std::string> names;
  for (const DirectoryEntry& entry : entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

class PlatformTest : public ::testing::Test {
 protected:
  TemporaryDirectory directory;
};

// Names that only a Windows short name ("NOTES~1.TGA") ends in ".tga" are no
// inputs.
TEST_F(PlatformTest, ListingTakesTgaNamesInAnyCaseAndMarksDirectories) {
  for (const char* name : {"a.tga", "B.TGA", "c.TgA", "notes.txt", "tga", "x.tg", "notes.tgax", "long name.tga1"}) {
    writeBytes(directory.path(name), {1});
  }
  makeDirectory(directory.path("sub.tga"));
  const std::vector<DirectoryEntry> entries = platformListTgaEntries(directory.root()).entries;
  EXPECT_EQ(sortedNames(entries), (std::vector<std::string>{"B.TGA", "a.tga", "c.TgA", "sub.tga"}));
  for (const DirectoryEntry& entry : entries) EXPECT_EQ(entry.isRegularFile, entry.name != "sub.tga") << entry.name;

  // A trailing separator gives a doubled one in the search, which finds the same.
  const std::string trailing = directory.root() + platformPathSeparator;
  EXPECT_EQ(sortedNames(platformListTgaEntries(trailing).entries), sortedNames(entries));
}

// An existing directory without a matching name is listed; what is no
// directory is told apart from what is not there.
TEST_F(PlatformTest, ListingTellsWhatTheStringNames) {
  writeBytes(directory.path("file.tga"), {1});
  makeDirectory(directory.path("empty"));
  const std::pair<std::string, ListingStatus> cases[] = {{"missing", ListingStatus::kCannotOpen},
                                                         {"file.tga", ListingStatus::kNotADirectory},
                                                         {"empty", ListingStatus::kListed}};
  for (const auto& [name, status] : cases) {
    const TgaListing listing = platformListTgaEntries(directory.path(name));
    EXPECT_EQ(listing.status, status) << name;
    EXPECT_TRUE(listing.entries.empty()) << name;
  }
}

TEST_F(PlatformTest, InputFilesOpenWithTheirSizeAndOnlyWhenTheyArePlainFiles) {
  writeBytes(directory.path("in.tga"), Bytes(1234, 9));
  std::uint64_t size = 0;
  std::FILE* file = platformOpenInputFile(directory.path("in.tga").c_str(), &size);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(size, 1234u);
  unsigned char bytes[2000];
  EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, file), 1234u);
  std::fclose(file);

  size = 77;
  EXPECT_EQ(platformOpenInputFile(directory.path("missing.tga").c_str(), &size), nullptr);
  EXPECT_EQ(platformOpenInputFile(directory.root().c_str(), &size), nullptr);
  EXPECT_EQ(size, 77u);
}

TEST_F(PlatformTest, OutputGoesToATemporaryFileBesideItsTargetAndReplacesIt) {
  // Bytes that text-mode streams would change: "\n" and "\r\n" and a ^Z.
  const Bytes content = {'\n', '\r', '\n', 0x1A, 0, '\n'};
  writeBytes(directory.path("out.tga"), {1, 2, 3});
  OutputFile output;
  ASSERT_TRUE(platformOpenOutput(directory.path("out.tga").c_str(), &output));
  EXPECT_TRUE(output.replacesFile);
  EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), output.file), content.size());

  // The same folder, whatever the form of its path ("\\?\C:\..." on Windows).
  const std::string& temporary = output.temporaryPath;
  const std::size_t separator = temporary.find_last_of(platformPathSeparator);
  ASSERT_NE(separator, std::string::npos);
  FileIdentity folder{}, root{};
  ASSERT_TRUE(platformIdentityOf(temporary.substr(0, separator).c_str(), &folder));
  ASSERT_TRUE(platformIdentityOf(directory.root().c_str(), &root));
  EXPECT_TRUE(folder == root);
  std::string ending = temporary.substr(temporary.size() - 4);
  std::transform(ending.begin(), ending.end(), ending.begin(), [](unsigned char c) { return std::tolower(c); });
  EXPECT_NE(ending, ".tga");  // never taken for an input by a directory run
  EXPECT_EQ(listDirectory(directory.root()).size(), 2u);

  ASSERT_TRUE(platformFinishOutput(&output, true));
  EXPECT_EQ(readBytes(directory.path("out.tga")), content);
  EXPECT_EQ(listDirectory(directory.root()), std::vector<std::string>{"out.tga"});

  // Abandoned: the existing file keeps its bytes and nothing else is left.
  ASSERT_TRUE(platformOpenOutput(directory.path("out.tga").c_str(), &output));
  EXPECT_EQ(std::fwrite("x", 1, 1, output.file), 1u);
  EXPECT_FALSE(platformFinishOutput(&output, false));
  EXPECT_EQ(readBytes(directory.path("out.tga")), content);
  EXPECT_EQ(listDirectory(directory.root()), std::vector<std::string>{"out.tga"});
}

TEST_F(PlatformTest, NoOutputWhereTheTargetCannotBe) {
  makeDirectory(directory.path("dir.tga"));
  OutputFile output;
  EXPECT_FALSE(platformOpenOutput(directory.path("dir.tga").c_str(), &output));
  EXPECT_FALSE(platformOpenOutput(joinPath(directory.path("missing"), "out.tga").c_str(), &output));
  EXPECT_EQ(output.file, nullptr);
  EXPECT_EQ(listDirectory(directory.root()), std::vector<std::string>{"dir.tga"});
  EXPECT_FALSE(platformFinishOutput(&output, true));
  EXPECT_EQ(listDirectory(directory.root()), std::vector<std::string>{"dir.tga"});
}

TEST(PlatformTicks, CountMilliseconds) {
  const std::uint32_t start = platformTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::uint32_t elapsed = platformTickCount() - start;
  // Windows' counter advances in steps of up to 16 ms.
  EXPECT_GE(elapsed, 180u);
  EXPECT_LT(elapsed, 60000u);
}

}  // namespace

namespace {

// Keeps the test process to the first processor it may use, and gives it
// back all it had.
#ifdef _WIN32
bool pinToFirstProcessor() { return SetProcessAffinityMask(GetCurrentProcess(), 1) != 0; }
#else
cpu_set_t processorsBefore;
bool pinToFirstProcessor() {
  if (sched_getaffinity(0, sizeof processorsBefore, &processorsBefore) != 0) return false;
  int cpu = 0;
  while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &processorsBefore)) ++cpu;
  cpu_set_t first;
  CPU_ZERO(&first);
  CPU_SET(cpu, &first);
  return sched_setaffinity(0, sizeof first, &first) == 0;
}
#endif
void unpin() {
#ifdef _WIN32
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) SetProcessAffinityMask(GetCurrentProcess(), system);
#else
  sched_setaffinity(0, sizeof processorsBefore, &processorsBefore);
#endif
}

}  // namespace

// A process kept to one processor (taskset -c 0, start /affinity 1) counts
// one, and the count never falls below one.
TEST(Processors, OneWhenTheProcessIsPinnedToOne) {
  const int all = platformUsableProcessorCount();
  EXPECT_GE(all, 1);
  EXPECT_LE(all, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  ASSERT_TRUE(pinToFirstProcessor());
  EXPECT_EQ(platformUsableProcessorCount(), 1);
  unpin();
  EXPECT_EQ(platformUsableProcessorCount(), all);
}
