// The platform layer: what the rest of the tool relies on, checked the same
// way on every platform.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <filesystem>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#endif

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "test_support.h"

#ifdef _WIN32
#include "platform/paths_win32.h"
#endif

namespace {

std::vector<std::string> sortedNames(const std::vector<DirectoryEntry>& entries) {
  std::vector<std::string> names;
  for (const DirectoryEntry& entry : entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

#ifdef _WIN32
bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// Wine starts a Unix program (ln, rm) without waiting for it: its process
// handle is signalled at once. What the program does is waited for instead,
// for at most ten seconds; whether it happened.
template <typename Condition>
bool waitUntil(Condition done) {
  for (int tries = 0; tries < 1000 && !done(); ++tries) Sleep(10);
  return done();
}
#endif

// Makes `name` in the folder a symbolic link to `target` (relative to the
// folder, '/' between names). Windows may refuse it without a privilege;
// Wine's CreateSymbolicLinkW makes none, but Wine shows the Unix links in its
// folders that lead somewhere as Windows shows links, so one is made with
// ln -s there. False when no link shows.
bool makeLink(const std::string& folder, const std::string& name, const std::string& target, bool toFolder) {
  const std::string link = joinPath(folder, name);
#ifdef _WIN32
  std::string windowsTarget = target;
  std::replace(windowsTarget.begin(), windowsTarget.end(), '/', '\\');
  const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (toFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  CreateSymbolicLinkW(std::filesystem::u8path(link).c_str(), std::filesystem::u8path(windowsTarget).c_str(), flags);
  auto shows = [&] { return GetFileAttributesW(std::filesystem::u8path(link).c_str()) != INVALID_FILE_ATTRIBUTES; };
  if (!shows() && underWine() && std::filesystem::exists(std::filesystem::u8path(joinPath(folder, windowsTarget)))) {
    runProgram("Z:\\bin\\ln", {"-s", target, name}, folder);
    return waitUntil(shows);
  }
  return shows();
#else
  (void)toFolder;
  return symlink(target.c_str(), link.c_str()) == 0;
#endif
}

// Removes a link that makeLink made. Under Wine, where it is a Unix link,
// rm does: Wine's own removal takes the link for the file it leads to.
void removeLink(const std::string& folder, const std::string& name) {
  const std::string link = joinPath(folder, name);
#ifdef _WIN32
  const std::wstring wide = std::filesystem::u8path(link).wstring();
  if (underWine()) {
    // The links go last made first, so that the one removed still leads
    // somewhere, and shows until rm has removed it.
    runProgram("Z:\\bin\\rm", {name}, folder);
    waitUntil([&] { return GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES; });
  } else if (!DeleteFileW(wide.c_str())) {
    RemoveDirectoryW(wide.c_str());
  }
#else
  unlink(link.c_str());
#endif
}

class PlatformTest : public ::testing::Test {
 protected:
  // The links a test made go first, last made first: Wine shows a Unix link
  // only while it leads somewhere, and the removal of the test's folder goes
  // round in circles on one it does not show.
  void TearDown() override {
    platformAllowUnnamedOutputs(true);
#ifdef _WIN32
    platformAllowOutputsAgain();
#endif
    for (auto link = links.rbegin(); link != links.rend(); ++link) removeLink(directory.root(), *link);
  }
  TemporaryDirectory directory;
  std::vector<std::string> links;
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

// Each name in a buffer of exactly its size, so that the sanitizer build
// catches a read before a short name.
TEST(TgaNames, EndInDotTgaInAnyCaseAndShortNamesAreReadNoFurtherThanTheirStart) {
  const std::pair<const char*, bool> names[] = {{"", false},     {"a", false},      {"ab", false},       {".tg", false},
                                                {"tga", false},  {".tga", true},    {"X.TGA", true},     {"x.tgA", true},
                                                {"x.tgax", false}, {"x_tga", false}, {"long name.tga", true}};
  for (const auto& [name, isTga] : names) {
    const std::size_t size = std::strlen(name) + 1;
    const std::unique_ptr<char[]> exact(new char[size]);
    std::memcpy(exact.get(), name, size);
    EXPECT_EQ(nameEndsWithTga(exact.get()), isTga) << name;
  }
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
  FailureReason why{};
  std::FILE* file = platformOpenInputFile(directory.path("in.tga").c_str(), &size, &why);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(size, 1234u);
  unsigned char bytes[2000];
  EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, file), 1234u);
  std::fclose(file);

  size = 77;
  EXPECT_EQ(platformOpenInputFile(directory.path("missing.tga").c_str(), &size, &why), nullptr);
  EXPECT_EQ(why.kind, Failure::kNoSuchFile);
  EXPECT_EQ(platformOpenInputFile(directory.root().c_str(), &size, &why), nullptr);
  EXPECT_EQ(why.kind, Failure::kFolder);
  EXPECT_EQ(size, 77u);
}

// On Linux the data goes to a file without a name, which nothing shows;
// where the file system offers none, and elsewhere, to a named file.
TEST_F(PlatformTest, OutputGoesToATemporaryFileBesideItsTargetAndReplacesIt) {
  // Bytes that text-mode streams would change: "\n" and "\r\n" and a ^Z.
  const Bytes content = {'\n', '\r', '\n', 0x1A, 0, '\n'};
  for (const bool unnamedAllowed : {true, false}) {
    platformAllowUnnamedOutputs(unnamedAllowed);
    writeBytes(directory.path("out.tga"), {1, 2, 3});
    OutputFile output;
    ASSERT_TRUE(platformOpenOutput(directory.path("out.tga").c_str(), &output));
    EXPECT_TRUE(output.replacesFile);
    EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), output.file), content.size());
#ifdef __linux__
    EXPECT_EQ(output.kind == OutputKind::kUnnamedFile, unnamedAllowed);
#endif
    if (output.kind == OutputKind::kUnnamedFile) {
      EXPECT_TRUE(output.temporaryPath.empty());
      EXPECT_EQ(listDirectory(directory.root()), std::vector<std::string>{"out.tga"});
    } else {
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
    }

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
}

struct Link {
  const char* name;
  const char* target;   // relative to the test's folder
  bool toFolder;
  const char* reached;  // the file written, in the folder "sub"; "" when the output is refused
};

// Makes the link in the test's folder (adding it to `links`), writes an
// output through it and checks where that went: into the file the link leads
// to, which the link still leads to, or nowhere when the output is refused;
// nothing else is left in either folder. False when no link could be made.
bool writeThroughLink(const TemporaryDirectory& directory, const Link& link, std::vector<std::string>* links) {
  if (!makeLink(directory.root(), link.name, link.target, link.toFolder)) return false;
  links->push_back(link.name);
  const std::vector<std::string> namesBefore = listDirectory(directory.root());
  OutputFile output;
  const bool opened = platformOpenOutput(directory.path(link.name).c_str(), &output);
  EXPECT_EQ(opened, *link.reached != '\0') << link.name;
  if (opened) {
    EXPECT_EQ(std::fwrite(link.name, 1, 3, output.file), 3u);
    EXPECT_TRUE(platformFinishOutput(&output, true)) << link.name;
    const std::string reached = joinPath(directory.path("sub"), link.reached);
    EXPECT_EQ(readBytes(reached), Bytes(link.name, link.name + 3)) << link.name;
    FileIdentity fromLink{}, file{};
    EXPECT_TRUE(platformIdentityOf(directory.path(link.name).c_str(), &fromLink) &&
                platformIdentityOf(reached.c_str(), &file) && fromLink == file)
        << link.name;
  }
  EXPECT_EQ(listDirectory(directory.root()), namesBefore) << link.name;
  for (const std::string& name : listDirectory(directory.path("sub"))) {
    EXPECT_TRUE(name == "target.tga" || name == "new.tga") << link.name << ": " << name;
  }
  return true;
}

// A link to a file and a chain of links stand for the file they lead to,
// which is replaced, and stay links to it; a link to a folder is refused as
// a folder is.
TEST_F(PlatformTest, OutputThroughALinkReplacesTheFileItLeadsTo) {
  makeDirectory(directory.path("sub"));
  writeBytes(joinPath(directory.path("sub"), "target.tga"), {'o', 'l', 'd'});
  for (const Link& link : {Link{"link.tga", "sub/target.tga", false, "target.tga"},
                           {"chain.tga", "link.tga", false, "target.tga"},
                           {"folder.tga", "sub", true, ""}}) {
    if (!writeThroughLink(directory, link, &links)) GTEST_SKIP() << "this system made no symbolic link " << link.name;
  }
}

// A link that leads nowhere stands for the file it would lead to, which is
// created. Wine shows no Unix link that leads nowhere.
TEST_F(PlatformTest, OutputThroughADanglingLinkCreatesTheFileItWouldLeadTo) {
  makeDirectory(directory.path("sub"));
  if (!writeThroughLink(directory, Link{"dangling.tga", "sub/new.tga", false, "new.tga"}, &links)) {
    GTEST_SKIP() << "this system made no symbolic link that leads nowhere";
  }
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

#ifdef _WIN32
// The C runtime's table of streams full: an input, an output replacing a
// file or a new one, and a device, on which no stream can be made, fail with
// the plain reason, taken from the runtime and not from what GetLastError or
// errno held before ("not enough memory" here), their handles closed and no
// temporary file left; once streams are given back, the same input opens.
TEST_F(PlatformTest, StreamsTheRuntimeRefusesFailWithTheirOwnReasonAndLeaveNothing) {
  writeBytes(directory.path("in.tga"), {1, 2, 3});
  writeBytes(directory.path("out.tga"), {'o', 'l', 'd'});
  writeBytes(directory.path("filler"), {0});
  struct Streams {
    std::vector<std::FILE*> open;
    ~Streams() {
      for (std::FILE* stream : open) std::fclose(stream);
    }
  } streams;
  while (streams.open.size() < 100000) {
    std::FILE* stream = std::fopen(directory.path("filler").c_str(), "rb");
    if (stream == nullptr) break;
    streams.open.push_back(stream);
  }
  ASSERT_LT(streams.open.size(), 100000u) << "the runtime gave every stream asked for";
  const auto staleReasons = [] {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    errno = ENOMEM;
  };

  std::uint64_t size = 77;
  FailureReason why{};
  staleReasons();
  EXPECT_EQ(platformOpenInputFile(directory.path("in.tga").c_str(), &size, &why), nullptr);
  EXPECT_EQ(why.kind, Failure::kCannotRead);
  EXPECT_EQ(why.systemError, 0);
  EXPECT_EQ(size, 77u);
  // No handle is left on the input: it opens without sharing.
  const HANDLE alone = CreateFileW(std::filesystem::u8path(directory.path("in.tga")).c_str(), GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(alone, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(alone);
  for (const std::string& path : {directory.path("out.tga"), directory.path("new.tga"), std::string("NUL")}) {
    OutputFile output;
    staleReasons();
    EXPECT_FALSE(platformOpenOutput(path.c_str(), &output)) << path;
    EXPECT_EQ(output.failure.kind, Failure::kCannotWrite) << path;
    EXPECT_EQ(output.failure.systemError, 0) << path;
    EXPECT_EQ(output.file, nullptr) << path;
  }
  EXPECT_EQ(listDirectory(directory.root()), (std::vector<std::string>{"filler", "in.tga", "out.tga"}));

  for (std::FILE* stream : streams.open) std::fclose(stream);
  streams.open.clear();
  EXPECT_EQ(readBytes(directory.path("out.tga")), (Bytes{'o', 'l', 'd'}));
  std::FILE* file = platformOpenInputFile(directory.path("in.tga").c_str(), &size, &why);
  EXPECT_NE(file, nullptr);
  EXPECT_EQ(size, 3u);
  if (file != nullptr) std::fclose(file);
}

// Ctrl+C, Ctrl+Break or the closing of the console while an output is
// written: the handler marks the temporary file to go with its handle and
// leaves the end of the process to the system's own handler. Wine delivers
// no such event to a program without a console, so the handler is called as
// the system would call it; the saving then closes the handle as the end of
// the process would, and finds no file left to rename.
TEST_F(PlatformTest, ConsoleControlEventRemovesTheTemporaryFile) {
  for (const unsigned long event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT}) {
    writeBytes(directory.path("out.tga"), {'o', 'l', 'd'});
    OutputFile output;
    ASSERT_TRUE(platformOpenOutput(directory.path("out.tga").c_str(), &output));
    EXPECT_EQ(std::fwrite("new", 1, 3, output.file), 3u);
    EXPECT_EQ(platformConsoleControl(event), FALSE) << event;
    EXPECT_FALSE(platformFinishOutput(&output, true)) << event;
    EXPECT_EQ(listDirectory(directory.root()), std::vector<std::string>{"out.tga"}) << event;
    EXPECT_EQ(readBytes(directory.path("out.tga")), (Bytes{'o', 'l', 'd'})) << event;
    platformAllowOutputsAgain();
  }
  // Until the system ends the process, no output is begun, with one being
  // written or without: no temporary file is created that nothing would
  // remove, and a folder run takes no further file.
  for (const bool writing : {true, false}) {
    OutputFile output;
    if (writing) {
      ASSERT_TRUE(platformOpenOutput(directory.path("out.tga").c_str(), &output));
    }
    EXPECT_EQ(platformConsoleControl(CTRL_C_EVENT), FALSE);
    OutputFile next;
    EXPECT_FALSE(platformOpenOutput(directory.path("next.tga").c_str(), &next)) << writing;
    EXPECT_FALSE(platformOpenOutput(directory.path("out.tga").c_str(), &next)) << writing;
    if (writing) {
      EXPECT_FALSE(platformFinishOutput(&output, true));
    }
    EXPECT_EQ(listDirectory(directory.root()), std::vector<std::string>{"out.tga"}) << writing;
    platformAllowOutputsAgain();
  }
  OutputFile output;
  ASSERT_TRUE(platformOpenOutput(directory.path("out.tga").c_str(), &output));
  EXPECT_EQ(std::fwrite("new", 1, 3, output.file), 3u);
  EXPECT_TRUE(platformFinishOutput(&output, true));
  EXPECT_EQ(readBytes(directory.path("out.tga")), (Bytes{'n', 'e', 'w'}));
}

// A symbolic link's reparse data, as FSCTL_GET_REPARSE_POINT gives it: tag,
// data length, a reserved word, the substitute name's offset and length, the
// print name's (none here), flags, then the name in UTF-16. `lengthChange`
// spoils the name's length.
std::vector<unsigned char> symbolicLinkData(const std::wstring& name, bool relative, int lengthChange) {
  std::vector<unsigned char> data(20 + name.size() * sizeof(wchar_t));
  auto put = [&](std::size_t at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) data[at + i] = static_cast<unsigned char>(value >> (8 * i));
  };
  put(0, IO_REPARSE_TAG_SYMLINK, 4);
  put(4, static_cast<std::uint32_t>(data.size() - 8), 2);
  put(10, static_cast<std::uint32_t>(name.size() * sizeof(wchar_t) + lengthChange), 2);
  put(16, relative ? 1 : 0, 4);
  std::memcpy(&data[20], name.data(), name.size() * sizeof(wchar_t));
  return data;
}

// Where a link leads, from its reparse data and its own path, for the links
// that Wine cannot make. Relative targets go from the link's folder, ".."
// taken away by the system and stopping at the root, also on a device path;
// rooted ones stay on the link's drive; absolute ones are kept whole. Data
// that holds no whole name, and NT paths that no program can open, lead
// nowhere ("").
TEST(WindowsLinks, TargetsLeadWhereTheSystemTakesThem) {
  struct Case {
    const wchar_t* link;
    const wchar_t* target;
    bool relative;
    int lengthChange;
    const wchar_t* reached;
  };
  const std::wstring volume = LR"(\\?\Volume{0c1d2e3f-0000-0000-0000-4a5b6c7d8e9f})";
  const std::wstring inVolume = volume + LR"(\a\link.tga)";
  const std::wstring inVolumeRoot = volume + LR"(\x.tga)";
  const std::wstring inVolumeDir = volume + LR"(\dir\x.tga)";
  const std::wstring absoluteInVolume = LR"(\??\)" + volume.substr(4) + LR"(\b\x.tga)";
  const std::wstring reachedInVolume = volume + LR"(\b\x.tga)";
  const Case cases[] = {
      {LR"(C:\a\link.tga)", L"x.tga", true, 0, LR"(C:\a\x.tga)"},
      {LR"(C:\a\b\link.tga)", LR"(..\..\c\.\x.tga)", true, 0, LR"(C:\c\x.tga)"},
      {LR"(C:\a\link.tga)", LR"(..\..\..\x.tga)", true, 0, LR"(C:\x.tga)"},
      {LR"(\\?\C:\link.tga)", L"x.tga", true, 0, LR"(\\?\C:\x.tga)"},
      {LR"(\\?\C:\a\b\link.tga)", LR"(..\x.tga)", true, 0, LR"(\\?\C:\a\x.tga)"},
      {inVolume.c_str(), LR"(..\..\..\x.tga)", true, 0, inVolumeRoot.c_str()},
      {LR"(D:\a\b\link.tga)", LR"(\dir\x.tga)", true, 0, LR"(D:\dir\x.tga)"},
      {LR"(\\server\share\a\link.tga)", LR"(\dir\x.tga)", true, 0, LR"(\\server\share\dir\x.tga)"},
      {LR"(\\?\UNC\server\share\a\link.tga)", LR"(\dir\..\x.tga)", true, 0, LR"(\\?\UNC\server\share\x.tga)"},
      {inVolume.c_str(), LR"(\dir\x.tga)", true, 0, inVolumeDir.c_str()},
      {LR"(C:\a\link.tga)", LR"(\??\D:\b\x.tga)", false, 0, LR"(\\?\D:\b\x.tga)"},
      {LR"(C:\a\link.tga)", absoluteInVolume.c_str(), false, 0, reachedInVolume.c_str()},
      {LR"(C:\a\link.tga)", LR"(\??\UNC\server\share\x.tga)", false, 0, LR"(\\?\UNC\server\share\x.tga)"},
      {LR"(C:\a\link.tga)", LR"(\Device\HarddiskVolume2\x.tga)", false, 0, L""},
      {LR"(C:\a\link.tga)", L"x.tga", true, -1, L""},
      {LR"(C:\a\link.tga)", L"x.tga", true, 2, L""},
  };
  for (const Case& c : cases) {
    const std::vector<unsigned char> data = symbolicLinkData(c.target, c.relative, c.lengthChange);
    std::wstring name;
    bool relative = false;
    std::wstring reached;
    if (symbolicLinkTarget(data.data(), data.size(), &name, &relative)) {
      reached = linkTargetPath(folderOf(c.link), name, relative);
    }
    EXPECT_EQ(reached, c.reached) << std::filesystem::path(c.link).u8string() << " to "
                                  << std::filesystem::path(c.target).u8string();
  }
}
#endif

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

#ifndef _WIN32
namespace {

// A file of a made-up /proc or /sys and its text; null text makes a folder in
// its place, which cannot be read as a file.
struct MadeFile {
  const char* path;
  const char* text;
};

struct ControlGroupCase {
  const char* what;
  std::vector<MadeFile> files;
  int affinity;
  int expected;
};

void makeFiles(const std::string& root, const std::vector<MadeFile>& files) {
  for (const MadeFile& file : files) {
    const std::filesystem::path path = std::filesystem::path(root) / file.path;
    if (file.text == nullptr) {
      std::filesystem::create_directories(path);
    } else {
      std::filesystem::create_directories(path.parent_path());
      writeBytes(path.string(), Bytes(file.text, file.text + std::strlen(file.text)));
    }
  }
}

}  // namespace

// The count from the files a system shows, made up for each case: the
// smallest quota of the process's group and the groups above it, rounded up,
// and never more than the affinity mask allows.
TEST(Processors, ControlGroupQuotasLimitTheCount) {
  const char* const cgroup = "proc/self/cgroup";
  const char* const mountinfo = "proc/self/mountinfo";
  const char* const v2Group = "1:name=systemd:/\n0::/g\n";
  // Two lines cut short, before and after the " - ", which are skipped.
  const char* const v2Mount =
      "1 2 3:4 / - cgroup2 cgroup2 rw\n"
      "1 2 3:4 / /sys/fs/cgroup/cut rw - cgroup2\n"
      "30 22 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
  const char* const v1Mounts =
      "31 30 0:28 / /sys/fs/cgroup/cpu,cpuacct rw shared:9 - cgroup cgroup rw,cpu,cpuacct\n"
      "40 30 0:37 / /sys/fs/cgroup/unified rw shared:10 - cgroup2 cgroup2 rw\n";
  const ControlGroupCase cases[] = {
      {"v1 cpu,cpuacct with a quota, beside a v2 hierarchy without the controller",
       {{cgroup, "4:cpu,cpuacct:/user.slice\n0::/user.slice\n"},
        {mountinfo, v1Mounts},
        {"sys/fs/cgroup/cpu,cpuacct/user.slice/cpu.cfs_quota_us", "250000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/user.slice/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/unified/user.slice/cpu.max", "100000 100000\n"}},
       8, 3},
      {"lines without a second colon, skipped after the group of the cpu controller",
       {{cgroup, "4:cpu,cpuacct:/user.slice\n2:cpu\n0:/g\n"},
        {mountinfo, v1Mounts},
        {"sys/fs/cgroup/cpu,cpuacct/user.slice/cpu.cfs_quota_us", "250000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/user.slice/cpu.cfs_period_us", "100000\n"}},
       8, 3},
      {"v1 cpu and cpuacct apart, no quota (-1) on the group but one above it",
       {{cgroup, "3:cpuacct:/a\n2:cpu:/b/c\n"},
        {mountinfo,
         "32 30 0:29 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n"
         "33 30 0:30 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"},
        {"sys/fs/cgroup/cpuacct/a/cpu.cfs_quota_us", "100000\n"},
        {"sys/fs/cgroup/cpuacct/a/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/cpu/b/c/cpu.cfs_quota_us", "-1\n"},
        {"sys/fs/cgroup/cpu/b/c/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/cpu/b/cpu.cfs_quota_us", "200000\n"},
        {"sys/fs/cgroup/cpu/b/cpu.cfs_period_us", "100000\n"}},
       8, 2},
      {"v1 quota without a readable period",
       {{cgroup, "4:cpu,cpuacct:/a\n"},
        {mountinfo, v1Mounts},
        {"sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_quota_us", "100000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_period_us", nullptr}},
       8, 8},
      {"v2 max 100000", {{cgroup, v2Group}, {mountinfo, v2Mount}, {"sys/fs/cgroup/g/cpu.max", "max 100000\n"}}, 8, 8},
      {"v2 150000 100000",
       {{cgroup, v2Group}, {mountinfo, v2Mount}, {"sys/fs/cgroup/g/cpu.max", "150000 100000\n"}},
       8, 2},
      {"quota below one processor",
       {{cgroup, v2Group}, {mountinfo, v2Mount}, {"sys/fs/cgroup/g/cpu.max", "50000 100000\n"}},
       8, 1},
      {"smaller quota on a group above, a larger one higher still",
       {{cgroup, "0::/a/b/c\n"},
        {mountinfo, v2Mount},
        {"sys/fs/cgroup/a/b/c/cpu.max", "max 100000\n"},
        {"sys/fs/cgroup/a/b/cpu.max", "180000 90000\n"},
        {"sys/fs/cgroup/a/cpu.max", "600000 100000\n"}},
       8, 2},
      {"quota that is no pair of numbers, or has no period",
       {{cgroup, "0::/a/b\n"},
        {mountinfo, v2Mount},
        {"sys/fs/cgroup/a/b/cpu.max", "150000x 100000\n"},
        {"sys/fs/cgroup/a/cpu.max", "100000 0\n"}},
       8, 8},
      {"a container's mount root",
       {{cgroup, "0::/kubepods/pod1/c1\n"},
        {mountinfo, "30 22 0:26 /kubepods/pod1 /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n"},
        {"sys/fs/cgroup/c1/cpu.max", "300000 100000\n"},
        {"sys/fs/cgroup/cpu.max", "400000 100000\n"}},
       8, 3},
      {"the group is the mount root",
       {{cgroup, "0::/kubepods/pod1\n"},
        {mountinfo, "30 22 0:26 /kubepods/pod1 /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n"},
        {"sys/fs/cgroup/cpu.max", "200000 100000\n"}},
       8, 2},
      {"mount roots elsewhere and a prefix of the group's name, then one that holds the group",
       {{cgroup, "0::/kubepods/pod12/x\n"},
        {mountinfo,
         "29 22 0:26 /system.slice /sys/fs/cgroup/other ro - cgroup2 cgroup2 rw\n"
         "30 22 0:26 /kubepods/pod1 /sys/fs/cgroup/pod1 ro - cgroup2 cgroup2 rw\n"
         "31 22 0:26 / /sys/fs/cgroup/all ro - cgroup2 cgroup2 rw\n"},
        {"sys/fs/cgroup/pod1/2/x/cpu.max", "100000 100000\n"},
        {"sys/fs/cgroup/pod12/x/cpu.max", "100000 100000\n"},
        {"sys/fs/cgroup/all/kubepods/pod12/x/cpu.max", "200000 100000\n"}},
       8, 2},
      {"blanks and backslashes in the mount's root and mount point",
       {{cgroup, "0::/ pod/g\n"},
        {mountinfo, "30 22 0:26 /\\040pod /sys/fs/cgroup/v\\0402\\134 ro - cgroup2 cgroup2 rw\n"},
        {"sys/fs/cgroup/v 2\\/g/cpu.max", "300000 100000\n"}},
       8, 3},
      {"a group file that cannot be read",
       {{cgroup, "0::/a/b\n"},
        {mountinfo, v2Mount},
        {"sys/fs/cgroup/a/b/cpu.max", nullptr},
        {"sys/fs/cgroup/a/cpu.max", "200000 100000\n"}},
       8, 2},
      {"no readable /proc/self/cgroup",
       {{cgroup, nullptr}, {mountinfo, v2Mount}, {"sys/fs/cgroup/cpu.max", "100000 100000\n"}},
       8, 8},
      {"a group, but no mount of its hierarchy",
       {{cgroup, v2Group}, {mountinfo, "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"}},
       8, 8},
      {"no control group at all", {}, 8, 8},
      {"no control group, nor an affinity the system can tell", {}, -1, 1},
      {"affinity smaller than the quota",
       {{cgroup, v2Group}, {mountinfo, v2Mount}, {"sys/fs/cgroup/g/cpu.max", "400000 100000\n"}},
       2, 2},
  };
  for (const ControlGroupCase& c : cases) {
    TemporaryDirectory root;
    makeFiles(root.root(), c.files);
    EXPECT_EQ(platformUsableProcessorCountUnder(root.root(), c.affinity), c.expected) << c.what;
  }
}
#endif
