#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cctype>
#include <regex>

#include "correction/correction.h"
#include "driver/driver.h"
#include "correction/generator.h"
#include "test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const std::string kSummaryPattern =
    "\n\nTotal run-time: [0-9]+\\.[0-9]s \\([0-9]+\\.[0-9]s per file\\)\\. Average shift: ([0-9]+\\.[0-9]{2})\n";

// The names of the input files of a directory in the order in which the
// directory is collected: the reverse of the platform's listing, less
// directories and earlier results.
std::vector<std::string> reverseListingOrder(const std::string& directory) {
  scanDirectory(directory);
  std::vector<std::string> names;
  for (const FileNode* node = fileList; node != nullptr; node = node->next)
    names.push_back(node->path.substr(node->path.find_last_of(platformPathSeparator) + 1));
  releaseFileList();
  return names;
}

class DirectoryTest : public ::testing::Test {
 protected:
  TemporaryDirectory directory;
  std::string at(const std::string& name) const { return directory.path(name); }
  void writePicture(const std::string& name, int width, int height, std::uint32_t seed) {
    writeBytes(at(name), tgaFile(width, height, 24, 0, stripedPicture(width, height, width <= height, seed)));
  }
};

// Splits a directory run's output into the part of each file (each starting
// with its loading line) and what follows the last file.
std::vector<std::string> filePieces(const std::string& output) {
  std::vector<std::string> pieces;
  std::size_t start = output.find("\nloading input file ");
  while (start != std::string::npos) {
    const std::size_t next = output.find("\nloading input file ", start + 1);
    pieces.push_back(output.substr(start, next == std::string::npos ? std::string::npos : next - start));
    start = next;
  }
  return pieces;
}

TEST_F(DirectoryTest, FilesAreProcessedInReverseListingOrderWithResultsBesideThem) {
  writePicture("a.tga", 30, 20, 1);
  writePicture("b.tga", 16, 40, 2);
  const std::vector<std::string> order = reverseListingOrder(directory.root());
  ASSERT_EQ(order.size(), 2u);
  const ToolRun run = runTool({directory.root()});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.errors, "");
  ASSERT_EQ(run.output.substr(0, bannerText().size()), bannerText());
  const std::vector<std::string> pieces = filePieces(run.output);
  ASSERT_EQ(pieces.size(), 2u);
  const std::string report = "\n\nstripes: (vertical|horizontal), average shift: [0-9]+\\.[0-9]{3}, processing time: [0-9]+\\.[0-9]s\n";
  for (std::size_t i = 0; i < 2; ++i) {
    const std::string name = order[i];
    const int lineCount = name == "a.tga" ? 20 : 16;
    const std::string result = name.substr(0, 1) + "_s.tga";
    EXPECT_TRUE(std::regex_match(pieces[i], std::regex(std::regex_replace(
        loadingText(at(name)) + progressText(lineCount) + "saving output file " + at(result), std::regex("[.()\\\\]"), "\\$&") +
        report + "\n" + (i == 1 ? kSummaryPattern : std::string())))) << pieces[i];
  }
  EXPECT_EQ(listDirectory(directory.root()), (std::vector<std::string>{"a.tga", "a_s.tga", "b.tga", "b_s.tga"}));

  // Each result equals the file's own single-file run when it came first, as
  // it started from the same generator state as a fresh single run does.
  const std::string first = order[0];
  ASSERT_EQ(runTool({at(first), at("single.tga")}).exitStatus, 0);
  EXPECT_EQ(readBytes(at("single.tga")), readBytes(at(first.substr(0, 1) + "_s.tga")));
}

TEST_F(DirectoryTest, GeneratorCarriesOnFromFileToFile) {
  writeBytes(at("first.tga"), tgaFile(3, 100, 24, 0, brighterMiddle(false)));
  writeBytes(at("second.tga"), tgaFile(3, 100, 24, 0, brighterMiddle(false)));
  const std::vector<std::string> order = reverseListingOrder(directory.root());
  ASSERT_EQ(order.size(), 2u);
  const ToolRun run = runTool({directory.root()});
  ASSERT_EQ(run.exitStatus, 0);
  EXPECT_EQ(loadedFileNames(run.output), order);
  std::uint32_t state = kDitherSeed;
  long long total = 0;
  const std::vector<Pixel> processedFirst = correctedBrighterMiddle(false, &state, &total);
  const std::vector<Pixel> processedSecond = correctedBrighterMiddle(false, &state, &total);
  EXPECT_NE(processedFirst, processedSecond);
  EXPECT_EQ(readBytes(at(resultPathFor(order[0]))), tgaFile(3, 100, 24, 0, processedFirst));
  EXPECT_EQ(readBytes(at(resultPathFor(order[1]))), tgaFile(3, 100, 24, 0, processedSecond));
}

// A directory run gives each file the result of a single-file run that
// starts where the previous file left the generator: the same as running the
// files one after another through processFile in one process.
TEST_F(DirectoryTest, ResultsEqualSingleFileRunsThatCarryOnTheGenerator) {
  writePicture("one.tga", 41, 17, 1);
  writePicture("two.tga", 16, 33, 2);
  writeBytes(at("three.tga"), tgaFile(25, 25, 32, 0x28, stripedPicture(25, 25, true, 3, true)));
  writePicture("four.tga", 1, 9, 4);
  const ToolRun run = runTool({directory.root()});
  ASSERT_EQ(run.exitStatus, 0);
  const std::vector<std::string> order = loadedFileNames(run.output);
  ASSERT_EQ(order.size(), 4u);

  ditherState = kDitherSeed;
  TemporaryDirectory single;
  testing::internal::CaptureStdout();
  for (const std::string& name : order) ASSERT_EQ(processFile(at(name).c_str(), single.path(name).c_str()), 0);
  testing::internal::GetCapturedStdout();
  for (const std::string& name : order) {
    EXPECT_EQ(readBytes(at(name.substr(0, name.size() - 4) + "_s.tga")), readBytes(single.path(name))) << name;
  }
}

TEST_F(DirectoryTest, EarlierResultsAreSkippedAndOverwritten) {
  writePicture("a.tga", 10, 12, 1);
  writePicture("b.tga", 12, 10, 2);
  ASSERT_EQ(runTool({directory.root()}).exitStatus, 0);
  const Bytes firstResult = readBytes(at("a_s.tga"));
  writeBytes(at("b_s.tga"), {1, 2, 3});
  writePicture("OLD_S.TGA", 4, 4, 3);
  writePicture("other_S.tga", 4, 4, 3);
  const ToolRun again = runTool({directory.root()});
  EXPECT_EQ(filePieces(again.output).size(), 2u);
  EXPECT_EQ(readBytes(at("a_s.tga")), firstResult);
  EXPECT_EQ(readBytes(at("b_s.tga")).size(), 18u + 3 * 120);
  EXPECT_EQ(listDirectory(directory.root()),
            (std::vector<std::string>{"OLD_S.TGA", "a.tga", "a_s.tga", "b.tga", "b_s.tga", "other_S.tga"}));
}

TEST_F(DirectoryTest, ResultNamesReplaceTheLastFourCharacters) {
  writePicture("photo.TGA", 6, 5, 1);
  writePicture("Scan.TgA", 6, 5, 1);
  makeDirectory(at("x.tga"));
  writeBytes(at("notes.txt"), {1});
  writeBytes(at("tga"), {1});
  const ToolRun run = runTool({directory.root()});
  EXPECT_EQ(filePieces(run.output).size(), 2u);
  EXPECT_EQ(listDirectory(directory.root()), (std::vector<std::string>{"Scan.TgA", "Scan_s.tga", "notes.txt", "photo.TGA",
                                                                       "photo_s.tga", "tga", "x.tga"}));
  EXPECT_EQ(resultPathFor("dir/.tga"), "dir/_s.tga");
  EXPECT_EQ(resultPathFor("abc"), "_s.tga");
}

TEST_F(DirectoryTest, ShortNamesAreInputs) {
  writePicture(".tga", 6, 5, 1);
  ASSERT_EQ(runTool({directory.root()}).exitStatus, 0);
  EXPECT_TRUE(fileExists(at("_s.tga")));
  const Bytes fromDotTga = readBytes(at("_s.tga"));
  ASSERT_EQ(std::remove(at(".tga").c_str()), 0);
  // "_s.tga" itself is six characters long: an input, giving "_s_s.tga".
  const ToolRun run = runTool({directory.root()});
  EXPECT_EQ(filePieces(run.output).size(), 1u);
  EXPECT_TRUE(fileExists(at("_s_s.tga")));
  EXPECT_EQ(readBytes(at("_s.tga")), fromDotTga);
  EXPECT_EQ(filePieces(runTool({directory.root()}).output).size(), 1u);  // "_s_s.tga" is a result
}

TEST_F(DirectoryTest, UnloadableFileDoesNotStopTheRun) {
  writePicture("a.tga", 8, 8, 1);
  writeBytes(at("b.tga"), tgaFile(2, 2, 16, 0, {1, 2, 3, 4}));
  writePicture("c.tga", 8, 8, 3);
  const ToolRun run = runTool({directory.root()});
  EXPECT_EQ(run.exitStatus, 2);
  const std::vector<std::string> pieces = filePieces(run.output);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[1], loadingText(at("b.tga")) + "\nError: cannot open file " + at("b.tga") + "\n\n");
  EXPECT_EQ(run.errors, "lomvera: " + at("b.tga") + ": 16 bits per pixel (24 and 32 are read)\nlomvera: " +
                            directory.root() + ": 1 of 3 files failed: " + at("b.tga") + "\n");
  EXPECT_FALSE(fileExists(at("b_s.tga")));
  EXPECT_TRUE(fileExists(at("a_s.tga")));
  EXPECT_TRUE(fileExists(at("c_s.tga")));
}

TEST_F(DirectoryTest, SummaryAveragesFilesWithoutWeighingTheirSize) {
  writePicture("big.tga", 200, 150, 1);
  writeBytes(at("flat.tga"), tgaFile(4, 4, 24, 0, std::vector<Pixel>(16, 0x808080)));
  const ToolRun run = runTool({directory.root()});
  std::smatch shifts;
  const std::string& text = run.output;
  const std::vector<double> perFile = reportedShifts(text);
  ASSERT_EQ(perFile.size(), 2u);
  const std::vector<std::string> loaded = loadedFileNames(text);
  ASSERT_EQ(loaded.size(), 2u);
  const std::size_t flat = loaded[0] == "flat.tga" ? 0 : 1;
  EXPECT_EQ(loaded[flat], "flat.tga");
  EXPECT_EQ(perFile[flat], 0.0);
  EXPECT_GT(perFile[1 - flat], 0.5);
  ASSERT_TRUE(std::regex_search(text, shifts, std::regex(kSummaryPattern + "$")));
  EXPECT_NEAR(std::atof(shifts[1].str().c_str()), (perFile[0] + perFile[1]) / 2, 0.0051);
}

#ifndef _WIN32
// Runs the tool on the folder as the unprivileged user 65534, to whom the
// folder's mode gives only what it gives others: r--r--r-- lets list it but
// not search it, r-xr-xr-x lets read it but not write it. False where this
// process may not run anything as another user (setpriv needs root's rights),
// or where that user cannot run the tool (a build folder it may not enter).
bool runAsAnotherUser(const std::string& folder, mode_t mode, ToolRun* run) {
  const std::vector<std::string> asAnotherUser = {"--reuid=65534", "--regid=65534", "--clear-groups"};
  std::vector<std::string> probe = asAnotherUser, arguments = asAnotherUser;
  // The probe runs the tool itself, as the run does: the other user must
  // reach the build folder, and the emulator of a cross build its files.
  const std::vector<std::string> tool = builtProgramCommand(toolExecutable());
  probe.insert(probe.end(), tool.begin(), tool.end());
  probe.push_back("--version");
  arguments.insert(arguments.end(), tool.begin(), tool.end());
  arguments.push_back(folder);
  if (runProgram("setpriv", probe).exitStatus != 0 || chmod(folder.c_str(), mode) != 0) return false;
  *run = runProgram("setpriv", arguments);
  return true;
}
#endif

// A folder run ends with the worst of its files' results, so that a script
// learns of any failure, and standard error tells each failed file's reason
// and then how many failed; a named folder that cannot be listed is an error,
// and a file named in its place a wrong command line.
TEST(FolderRunStatus, IsTheWorstResultOrTellsWhyNothingWasTaken) {
  struct FolderRun {
    const char* what;
    std::vector<std::string> pictures;    // loadable
    std::vector<std::string> unloadable;  // files that are no picture
    std::string argument;                 // a name in the folder; empty: the folder itself
    int exitStatus;
    std::size_t taken;                    // files loaded or tried
    std::vector<std::string> results;     // files the run writes
    std::string reason;                   // of each failed file, or of a folder that cannot be listed
    int otherUsersMode = 0;               // not 0: the folder's mode, for a run by another user
  };
  const FolderRun runs[] = {
      {"all saved", {"a.tga", "b.tga"}, {}, "", 0, 2, {"a_s.tga", "b_s.tga"}, ""},
      {"names shorter than the ending", {"s.tga"}, {"a", "ab", ".tg"}, "", 0, 1, {"s_s.tga"}, ""},
      {"one unloadable", {"a.tga"}, {"b.tga"}, "", 2, 2, {"a_s.tga"}, "not a TGA file"},
      // The result of ".tga" would replace the input "_s.tga".
      {"one unsavable", {".tga", "_s.tga"}, {}, "", 3, 2, {"_s_s.tga"},
       "would replace an input or a result of this run"},
      {"both kinds", {".tga", "_s.tga"}, {"c.tga"}, "", 3, 3, {"_s_s.tga"}, ""},
      {"none loadable", {}, {"a.tga", "b.tga", "c.tga", "d.tga"}, "", 2, 4, {}, "not a TGA file"},
      {"empty folder", {}, {}, "", 0, 0, {}, ""},
      {"missing folder", {}, {}, "missing", 2, 0, {}, "no such file"},
      {"a file given as the folder", {"scan.tga"}, {}, "scan.tga", 1, 0, {}, ""},
#ifndef _WIN32
      // No file's kind can be learnt: each is taken, and fails to load.
      {"folder listed but not searched", {"a.tga", "b.tga"}, {}, "", 2, 2, {}, "permission denied", 0444},
      {"folder not written", {"a.tga"}, {}, "", 3, 1, {}, "permission denied", 0555},
#endif
  };
  for (const FolderRun& row : runs) {
    SCOPED_TRACE(row.what);
    TemporaryDirectory folder;
    std::vector<std::string> expectedFiles = row.results;
    const Bytes picture = tgaFile(6, 5, 24, 0, stripedPicture(6, 5, false, 1));
    for (const std::string& name : row.pictures) {
      writeBytes(folder.path(name), picture);
      expectedFiles.push_back(name);
    }
    for (const std::string& name : row.unloadable) {
      writeBytes(folder.path(name), {0, 0, 2});
      expectedFiles.push_back(name);
    }
    const std::string named = row.argument.empty() ? folder.root() : folder.path(row.argument);
    ToolRun run{};
    if (row.otherUsersMode == 0) {
      run = runTool({named});
#ifndef _WIN32
    } else if (!runAsAnotherUser(named, static_cast<mode_t>(row.otherUsersMode), &run)) {
      std::printf("[  SKIPPED ] %s: setpriv cannot run the tool as user 65534 here (it needs root's rights)\n",
                  row.what);
      continue;
#endif
    }
    EXPECT_EQ(run.exitStatus, row.exitStatus);
    EXPECT_EQ(loadedFileNames(run.output).size(), row.taken) << run.output;
    // Standard error: a line per failed file, then the count and the first
    // three names; or the reason why the folder could not be listed.
    const std::size_t failed = row.taken - row.results.size();
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = run.errors.find('\n', at)) != std::string::npos; at = end + 1)
      lines.push_back(run.errors.substr(at, end - at));
    if (row.taken == 0 && row.exitStatus == 2) {
      ASSERT_EQ(lines.size(), 1u) << run.errors;
      EXPECT_EQ(lines[0].rfind("lomvera: " + named + ": " + row.reason + " (", 0), 0u) << lines[0];
    } else {
      ASSERT_EQ(lines.size(), failed == 0 ? 0 : failed + 1) << run.errors;
    }
    for (std::size_t i = 0; i + 1 < lines.size() && !row.reason.empty(); ++i)
      EXPECT_NE(lines[i].find(".tga: " + row.reason), std::string::npos) << lines[i];
    if (failed > 0) {
      const std::string& summary = lines.back();
      EXPECT_EQ(summary.rfind("lomvera: " + named + ": " + std::to_string(failed) + " of " + std::to_string(row.taken) +
                                  " files failed: ", 0), 0u) << summary;
      EXPECT_EQ(std::count(summary.begin(), summary.end(), ','), failed > 3 ? 3 : static_cast<long>(failed) - 1);
    }
    const bool anySaved = !row.results.empty();
    EXPECT_EQ(std::regex_search(run.output, std::regex(kSummaryPattern + "$")), anySaved) << run.output;
    if (row.taken == 0) {
      const std::string why = row.exitStatus == 2   ? "\nError: cannot open directory " + named + "\n"
                              : row.exitStatus == 1 ? usageText()
                                                    : "";
      EXPECT_EQ(run.output, bannerText() + why);
    }
    std::sort(expectedFiles.begin(), expectedFiles.end());
    EXPECT_EQ(listDirectory(folder.root()), expectedFiles);
    for (const std::string& name : row.pictures) EXPECT_EQ(readBytes(folder.path(name)), picture) << name;
  }
}

TEST_F(DirectoryTest, NoArgumentUsesTheCurrentDirectory) {
  const ToolRun nothing = runTool({}, directory.root());
  EXPECT_EQ(nothing.exitStatus, 1);
  EXPECT_NE(nothing.output.find("usage:"), std::string::npos);
  EXPECT_EQ(nothing.output.substr(nothing.output.size() - 11), "Press ENTER");

  writeBytes(at("bad.tga"), {0, 0, 2});
  const ToolRun failing = runTool({}, directory.root());
  EXPECT_EQ(failing.exitStatus, 2);
  const std::string bad = joinPath(".", "bad.tga");
  EXPECT_EQ(failing.output, bannerText() + loadingText(bad) + "\nError: cannot open file " + bad + "\n\n");

  writePicture("good.tga", 5, 5, 1);
  const ToolRun working = runTool({}, directory.root());
  EXPECT_EQ(working.exitStatus, 2);  // bad.tga still fails
  EXPECT_NE(working.output.find("saving output file " + joinPath(".", "good_s.tga")), std::string::npos);
  EXPECT_TRUE(fileExists(at("good_s.tga")));
}

TEST_F(DirectoryTest, DirectoryStringIsUsedUnchanged) {
  writePicture("a.tga", 5, 6, 1);
  const std::string trailing = directory.root() + platformPathSeparator;
  const ToolRun run = runTool({trailing});
  EXPECT_NE(run.output.find(loadingText(joinPath(trailing, "a.tga"))), std::string::npos);
  EXPECT_NE(run.output.find("saving output file " + joinPath(trailing, "a_s.tga")), std::string::npos);
  EXPECT_TRUE(fileExists(at("a_s.tga")));
}

TEST_F(DirectoryTest, ProcessingOrderIsTheReverseOfTheListing) {
  for (const char* name : {"b.tga", "Zeta.TGA", "_s.tga", "A.tga", "m.Tga", "1.tga"}) writePicture(name, 3, 3, 1);
  writePicture("done_S.TGA", 3, 3, 1);
  makeDirectory(at("folder.tga"));
  const std::vector<std::string> order = reverseListingOrder(directory.root());
  EXPECT_EQ(order.size(), 6u);
  EXPECT_EQ(loadedFileNames(runTool({directory.root()}).output), order);
}

// A result name can name an input under another spelling: through a link,
// or, on a disk that ignores letter case, "_s.tga" (the result of ".tga")
// names the input "_S.TGA". That save is refused and the input kept.
TEST_F(DirectoryTest, NoResultReplacesAnInputNamedAnotherWay) {
#ifdef _WIN32
  const std::string kept = "_S.TGA";
  const std::string other = ".tga";
  writePicture(other, 5, 5, 3);
#else
  const std::string kept = "b.tga";
  const std::string other = "a.tga";
  writePicture(other, 5, 5, 3);
  ASSERT_EQ(symlink("b.tga", at("a_s.tga").c_str()), 0);
#endif
  writePicture(kept, 7, 7, 4);
  const Bytes input = readBytes(at(kept));
  const ToolRun run = runTool({directory.root()});
  EXPECT_EQ(run.exitStatus, 3);
  const std::string refused = at(resultPathFor(other));
  EXPECT_NE(run.output.find("saving output file " + refused + "\nError: cannot save result to file " + refused),
            std::string::npos)
      << run.output;
  EXPECT_EQ(readBytes(at(kept)), input);
  EXPECT_EQ(filePieces(run.output).size(), 2u);
  EXPECT_EQ(run.output.find("stripes: "), run.output.rfind("stripes: "));  // one file saved
}

#ifndef _WIN32
// The POSIX listing is sorted so that a directory run processes its files in
// the order a Windows search of the same names gives.
TEST_F(DirectoryTest, ListingIsSortedWithLettersFoldedToUpperCase) {
  for (const char* name : {"b.tga", "Zeta.tga", "_s.tga", "A.tga", "a.tga", "1.tga"}) writePicture(name, 3, 3, 1);
  // Listed 1, A, a, b, Zeta, _s ("_" follows "Z"); processed in reverse.
  EXPECT_EQ(loadedFileNames(runTool({directory.root()}).output),
            (std::vector<std::string>{"_s.tga", "Zeta.tga", "b.tga", "a.tga", "A.tga", "1.tga"}));
}

// Names that differ only in letter case, and a ".tga" beside "_s.tga", would
// give a result the name of another result of the same run, or of one of its
// inputs. The first to get the name keeps it; the other file's save fails and
// it is not counted, so no input and no counted result is overwritten.
TEST_F(DirectoryTest, NoResultReplacesAnInputOrAnotherResultOfTheSameRun) {
  writePicture("scan.tga", 8, 6, 1);
  writePicture("scan.TGA", 6, 8, 2);
  writePicture(".tga", 5, 5, 3);
  writePicture("_s.tga", 7, 7, 4);
  const Bytes inputOfDotTga = readBytes(at("_s.tga"));
  const ToolRun run = runTool({directory.root()});
  EXPECT_EQ(run.exitStatus, 3);
  // Listed .tga, scan.TGA, scan.tga, _s.tga; processed in reverse.
  const std::vector<std::string> pieces = filePieces(run.output);
  ASSERT_EQ(pieces.size(), 4u);
  EXPECT_EQ(pieces[0].find(loadingText(at("_s.tga"))), 0u);
  EXPECT_NE(pieces[0].find("stripes: "), std::string::npos);
  EXPECT_EQ(pieces[1].find(loadingText(at("scan.tga"))), 0u);
  EXPECT_NE(pieces[1].find("stripes: "), std::string::npos);
  const std::string failedSave = "saving output file " + at("scan_s.tga") + "\nError: cannot save result to file ";
  EXPECT_NE(pieces[2].find(failedSave + at("scan_s.tga") + "\n\n"), std::string::npos) << pieces[2];
  EXPECT_NE(pieces[3].find("saving output file " + at("_s.tga") + "\nError: cannot save result to file " +
                           at("_s.tga") + "\n\n"),
            std::string::npos)
      << pieces[3];
  EXPECT_EQ(readBytes(at("_s.tga")), inputOfDotTga);
  const Bytes result = readBytes(at("scan_s.tga"));
  ASSERT_EQ(result.size(), 18u + 3 * 48);
  EXPECT_EQ(result[12], 8);  // from scan.tga (8 x 6), processed before scan.TGA (6 x 8)
  EXPECT_EQ(listDirectory(directory.root()),
            (std::vector<std::string>{".tga", "_s.tga", "_s_s.tga", "scan.TGA", "scan.tga", "scan_s.tga"}));
}
#endif

}  // namespace
