// Saves that the disk cuts short, and whether the tool's exit status and
// totals ever claim a result that is not completely on disk.
//
// A write fails part-way under a file-size limit (with SIGXFSZ ignored by
// the starting shell, and without: the tool must then ignore it itself), or
// on a small filesystem that fills up. The save error and exit status 3
// follow; what was on disk before stays byte for byte, and nothing is added.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "correction/correction.h"
#include "correction/generator.h"
#include "correction/parallel_runs.h"
#include "stage_files.h"
#include "test_support.h"

namespace {

// A picture whose result (270,018 bytes) is far above the limit below, and
// one whose result (618 bytes) is far under it.
constexpr int kBigSide = 300;
constexpr int kSmallWidth = 20;
constexpr int kSmallHeight = 10;
// 100 blocks: 51,200 bytes where the shell counts 512-byte blocks, 102,400
// where it counts 1 KiB blocks.
const char* const kFileSizeLimit = "ulimit -f 100";

Bytes bigPicture() { return tgaFile(kBigSide, kBigSide, 24, 0, stripedPicture(kBigSide, kBigSide, true, 7)); }
Bytes smallPicture(std::uint32_t seed) {
  return tgaFile(kSmallWidth, kSmallHeight, 24, 0, stripedPicture(kSmallWidth, kSmallHeight, false, seed));
}

std::string saveFailureText(const std::string& input, const std::string& output, int lineCount) {
  return runTextBeforeReport(input, output, lineCount) + "\nError: cannot save result to file " + output + "\n";
}

// Checks that a result file is complete: the exact size, and a header that
// gives the input's size.
void expectCompleteResult(const std::string& path, int width, int height) {
  const Bytes saved = readBytes(path);
  ASSERT_EQ(saved.size(), savedFileSize(width, height)) << path;
  EXPECT_EQ(saved[12] | saved[13] << 8, width) << path;
  EXPECT_EQ(saved[14] | saved[15] << 8, height) << path;
}

TEST(SaveFault, FileSizeLimitLeavesEverythingAsItWas) {
  for (const std::string& setup : {std::string("trap '' XFSZ; ") + kFileSizeLimit, std::string(kFileSizeLimit)}) {
    TemporaryDirectory directory;
    const std::string input = directory.path("in.tga");
    const std::string existing = directory.path("existing.tga");
    const std::string same = directory.path("same.tga");
    writeBytes(input, bigPicture());
    writeBytes(same, bigPicture());
    writeBytes(existing, {'o', 'l', 'd'});

    for (const auto& [from, to] : {std::pair{input, directory.path("new.tga")}, {input, existing}, {same, same}}) {
      const ToolRun run = runTool({from, to}, "", "", setup);
      EXPECT_EQ(run.exitStatus, 3) << setup << ": " << to;
      EXPECT_EQ(run.output, saveFailureText(from, to, kBigSide));
      EXPECT_EQ(run.errors, "lomvera: " + to + ": the file would be too large (File too large)\n");
    }
    EXPECT_EQ(listDirectory(directory.root()), (std::vector<std::string>{"existing.tga", "in.tga", "same.tga"}));
    EXPECT_EQ(readBytes(existing), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(readBytes(same), bigPicture());

    // The limit does not stop a result that fits under it.
    writeBytes(input, smallPicture(1));
    EXPECT_EQ(runTool({input, existing}, "", "", setup).exitStatus, 0);
    expectCompleteResult(existing, kSmallWidth, kSmallHeight);
  }
}

// A tmpfs too small for two copies of the big picture, mounted in a mount
// namespace of its own so that nothing outside sees it or has to unmount it.
TEST(SaveFault, FullFilesystemLeavesEverythingAsItWas) {
  TemporaryDirectory directory;
  const std::string disk = directory.path("disk");
  const std::string kept = directory.path("kept");
  const std::string capture = directory.path("capture");
  for (const std::string& folder : {disk, kept, capture}) ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  writeBytes(directory.path("in.tga"), bigPicture());

  const std::string probe = "unshare -m sh -c " + shellQuoted("mount -t tmpfs -o size=400k tmpfs " + shellQuoted(disk)) +
                            " >/dev/null 2>&1";
  if (std::system(probe.c_str()) != 0) {
    GTEST_SKIP() << "no small filesystem can be mounted here (this needs root and mount namespaces: "
                    "unshare -m, mount -t tmpfs); the file-size limit test covers failing writes";
  }

  // Three runs on the small disk; each run's output and status are kept in
  // capture/, and the disk's final contents are copied to kept/ before the
  // namespace, and the disk with it, goes away.
  std::string tool = "timeout -k 5 60";
  for (const std::string& word : builtProgramCommand(toolExecutable())) tool += " " + shellQuoted(word);
  auto run = [&](const std::string& name, const std::string& from, const std::string& to) {
    const std::string out = shellQuoted(capture + "/" + name);
    return tool + " " + shellQuoted(from) + " " + shellQuoted(to) + " >" + out + ".out 2>" + out + ".err </dev/null; echo $? >" +
           out + ".status; ";
  };
  const std::string script = "mount -t tmpfs -o size=400k tmpfs " + shellQuoted(disk) + " || exit 1; cp " +
                             shellQuoted(directory.path("in.tga")) + " " + shellQuoted(disk + "/same.tga") +
                             " || exit 1; printf old >" + shellQuoted(disk + "/existing.tga") + " || exit 1; " +
                             run("new", directory.path("in.tga"), disk + "/new.tga") +
                             run("existing", directory.path("in.tga"), disk + "/existing.tga") +
                             run("same", disk + "/same.tga", disk + "/same.tga") + "cp -a " + shellQuoted(disk + "/.") +
                             " " + shellQuoted(kept);
  const int status = std::system(("unshare -m sh -c " + shellQuoted(script)).c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  for (const auto& [name, from, to] :
       {std::tuple{"new", directory.path("in.tga"), disk + "/new.tga"},
        {"existing", directory.path("in.tga"), disk + "/existing.tga"},
        {"same", disk + "/same.tga", disk + "/same.tga"}}) {
    const Bytes exitStatus = readBytes(capture + "/" + name + ".status");
    EXPECT_EQ(std::string(exitStatus.begin(), exitStatus.end()), "3\n") << name;
    const Bytes out = readBytes(capture + "/" + name + ".out");
    EXPECT_EQ(std::string(out.begin(), out.end()), saveFailureText(from, to, kBigSide));
    const Bytes errors = readBytes(capture + "/" + name + ".err");
    EXPECT_EQ(std::string(errors.begin(), errors.end()),
              "lomvera: " + to + ": the disk is full (No space left on device)\n");
  }
  EXPECT_EQ(listDirectory(kept), (std::vector<std::string>{"existing.tga", "same.tga"}));
  EXPECT_EQ(readBytes(kept + "/existing.tga"), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(readBytes(kept + "/same.tga"), bigPicture());
}

// A directory run goes on past a file that cannot be saved and does not
// count it: the summary's average is the mean over the reported files alone.
TEST(SaveFault, DirectoryRunGoesOnAndCountsOnlyCompleteResults) {
  TemporaryDirectory directory;
  writeBytes(directory.path("a.tga"), smallPicture(1));
  writeBytes(directory.path("big.tga"), bigPicture());
  writeBytes(directory.path("c.tga"), tgaFile(kSmallHeight, kSmallWidth, 24, 0, stripedPicture(10, 20, true, 2)));
  writeBytes(directory.path("big_s.tga"), {'o', 'l', 'd'});

  const ToolRun run = runTool({directory.root()}, "", "", kFileSizeLimit);
  EXPECT_EQ(run.exitStatus, 3);
  const std::string bigOutput = directory.path("big_s.tga");
  EXPECT_EQ(run.errors, "lomvera: " + bigOutput + ": the file would be too large (File too large)\nlomvera: " +
                            directory.root() + ": 1 of 3 files failed: " + directory.path("big.tga") + "\n");
  EXPECT_NE(run.output.find("saving output file " + bigOutput + "\nError: cannot save result to file " + bigOutput +
                            "\n\n\nloading input file " + directory.path("a.tga")),
            std::string::npos);
  EXPECT_EQ(listDirectory(directory.root()),
            (std::vector<std::string>{"a.tga", "a_s.tga", "big.tga", "big_s.tga", "c.tga", "c_s.tga"}));
  EXPECT_EQ(readBytes(bigOutput), (Bytes{'o', 'l', 'd'}));
  expectCompleteResult(directory.path("a_s.tga"), kSmallWidth, kSmallHeight);
  expectCompleteResult(directory.path("c_s.tga"), kSmallHeight, kSmallWidth);

  const std::vector<double> reported = reportedShifts(run.output);
  ASSERT_EQ(reported.size(), 2u);
  ASSERT_GT(std::abs(reported[0] - reported[1]), 0.05);  // different enough that a third file would show
  std::smatch summary;
  ASSERT_TRUE(std::regex_search(run.output, summary, std::regex("Average shift: ([0-9.]+)\n$")));
  EXPECT_NEAR(std::atof(summary[1].str().c_str()), (reported[0] + reported[1]) / 2, 0.0051);

  // The failed file took all its draws of the rounding generator: the file
  // after it comes out as in a run where nothing failed.
  const Bytes afterFailure = readBytes(directory.path("a_s.tga"));
  ASSERT_EQ(runTool({directory.root()}).exitStatus, 0);
  EXPECT_EQ(readBytes(directory.path("a_s.tga")), afterFailure);
}

// A file that changes between the two readings of it, or cannot be read
// through, is not corrected from two different pictures, and a result that
// cannot be written is not kept, whether one thread or several read and
// correct the runs of rows: the stages print their whole progress lines,
// leave the generator where a good file leaves it, and nothing is saved. The
// file is cut short behind its first rows, so that the threads other than
// the first meet the failed reads.
TEST(SaveFault, InputChangedBetweenThePassesOrFailedWritesAreNotSaved) {
  struct Fault {
    const char* name;
    void (*between)(const std::string& input);  // between the two passes
    bool outputFails;
  };
  const Fault faults[] = {
      {"input grows",
       [](const std::string& input) {
         Bytes bytes = readBytes(input);
         bytes.push_back(0);
         writeBytes(input, bytes);
       },
       false},
      {"input rewritten with the same length and a new modification time",
       [](const std::string& input) {
         struct stat before {};
         ASSERT_EQ(stat(input.c_str(), &before), 0);
         Bytes bytes = readBytes(input);
         bytes.back() ^= 0xFF;
         writeBytes(input, bytes);
         // A second later than before, whatever the clock's resolution.
         const timespec times[2] = {before.st_atim, {before.st_mtim.tv_sec + 1, before.st_mtim.tv_nsec}};
         ASSERT_EQ(utimensat(AT_FDCWD, input.c_str(), times, 0), 0);
       },
       false},
      {"input cut short behind its first rows",
       [](const std::string& input) { ASSERT_EQ(truncate(input.c_str(), 18 + 4 * 600 * 3), 0); }, false},
      {"output cannot be written", [](const std::string&) {}, true}};
  for (const bool landscape : {true, false}) {
    Raster picture(landscape ? 600 : 400, landscape ? 400 : 600);
    picture.pixels = stripedPicture(picture.width, picture.height, !landscape, 11);
    for (const int threads : {1, 3, 7}) {
      forceWorkerThreads(threads);
      TemporaryDirectory directory;
      const auto runStagesWith = [&](const Fault* fault) {
        openForStages(directory, picture);
        if (fault != nullptr && fault->outputFails) outputImage.createTga("/dev/full");
        ditherState = kDitherSeed;
        return consoleOf([&] {
          computeShift();
          buildShiftTable();
          if (fault != nullptr) fault->between(directory.path("stages-in.tga"));
          performShift();
        });
      };
      const std::string goodText = runStagesWith(nullptr);
      const std::uint32_t goodState = ditherState;
      ASSERT_EQ(savedStageOutput(directory).pixels.size(), picture.pixels.size());
      const Bytes goodResult = readBytes(directory.path("stages-out.tga"));
      for (const Fault& fault : faults) {
        SCOPED_TRACE(std::string(fault.name) + (landscape ? ", lines as rows, " : ", lines as columns, ") +
                     std::to_string(threads) + " threads");
        EXPECT_EQ(runStagesWith(&fault), goodText);
        EXPECT_EQ(ditherState, goodState);
        EXPECT_TRUE(savedStageOutput(directory).pixels.empty());
        EXPECT_EQ(listDirectory(directory.root()), (std::vector<std::string>{"stages-in.tga", "stages-out.tga"}));
        EXPECT_EQ(readBytes(directory.path("stages-out.tga")), goodResult);
      }
    }
  }
  forceWorkerThreads(0);
}

// A file that changes after it was opened is not corrected from two different
// pictures: the run ends with the save error and nothing is written. The
// change is made while the tool is held before its first stage, once it has
// opened the input and the output.
TEST(SaveFault, InputThatChangesDuringTheRunIsNotSaved) {
  TemporaryDirectory directory;
  const std::string input = directory.path("in.tga");
  const std::string output = directory.path("out.tga");
  writeBytes(input, bigPicture());
  const HeldTool tool = startHeldTool({input, output}, bannerText().size() + loadingText(input).size() + 1);
  EXPECT_TRUE(waitUntilWriting(tool.process, directory.root(), 0));
  std::FILE* appended = std::fopen(input.c_str(), "ab");
  EXPECT_TRUE(appended != nullptr && std::fputc('x', appended) == 'x' && std::fclose(appended) == 0);
  const ToolRun run = finishHeldTool(tool);
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_EQ(run.output, saveFailureText(input, output, kBigSide) +
                            "lomvera: " + output + ": the input changed while it was read\n");
  EXPECT_EQ(listDirectory(directory.root()), std::vector<std::string>{"in.tga"});
}

// Every way a single-file run can end, against what is on disk afterwards:
// exit status 0 only with a complete result in place and nothing on standard
// error; any other status with the output path exactly as it was before, and
// its reason.
TEST(HonestExitStatus, SuccessIsReportedOnlyWithACompleteResultOnDisk) {
  struct Input {
    const char* name;
    int width, height, depth, descriptor;
  };
  struct Output {
    const char* name;
    std::string path;  // relative to the test directory unless absolute
    std::string setup;
    int expectedForBig, expectedForSmall;
    std::string reason;  // of a failed save
  };
  const std::vector<Input> inputs = {{"big", kBigSide, kBigSide, 24, 0}, {"small", 20, 10, 24, 0},
                                     {"alpha", 9, 14, 32, 0x28},         {"empty", 5, 0, 24, 0}};
  const std::vector<Output> outputs = {
      {"new file", "new.tga", "", 0, 0, ""},
      {"existing file", "existing.tga", "", 0, 0, ""},
      {"the input itself", "", "", 0, 0, ""},
      {"over the size limit", "limited.tga", kFileSizeLimit, 3, 0, "the file would be too large (File too large)"},
      {"missing directory", "missing/out.tga", "", 3, 3, "the folder does not exist (No such file or directory)"},
      {"a directory", "folder", "", 3, 3, "a folder"},
      {"below a file", "existing.tga/out.tga", "", 3, 3, "the folder does not exist (Not a directory)"},
      {"a pipe nobody reads", "pipe.tga", "", 3, 3, "cannot be written (No such device or address)"},
      {"too long a name", std::string(300, 'n') + ".tga", "", 3, 3, "cannot be written (File name too long)"},
  };
  for (const Input& in : inputs) {
    for (const Output& out : outputs) {
      TemporaryDirectory directory;
      ASSERT_EQ(mkdir(directory.path("folder").c_str(), 0755), 0);
      ASSERT_EQ(mkfifo(directory.path("pipe.tga").c_str(), 0644), 0);
      writeBytes(directory.path("existing.tga"), {'o', 'l', 'd'});
      const std::string input = directory.path(std::string(in.name) + ".tga");
      writeBytes(input, tgaFile(in.width, in.height, in.depth, in.descriptor,
                                stripedPicture(in.width, in.height, false, 3, in.depth == 32)));
      const std::string output =
          out.path.empty() ? input : (out.path[0] == '/' ? out.path : directory.path(out.path));
      struct stat status {};
      const bool regularBefore = stat(output.c_str(), &status) == 0 && S_ISREG(status.st_mode);
      const Bytes before = regularBefore ? readBytes(output) : Bytes{};
      const bool existedBefore = fileExists(output);
      const std::vector<std::string> namesBefore = listDirectory(directory.root());

      const ToolRun run = runTool({input, output}, "", "", out.setup);
      const std::string what = std::string(in.name) + " into " + out.name;
      EXPECT_EQ(run.exitStatus, std::string(in.name) == "big" ? out.expectedForBig : out.expectedForSmall) << what;
      EXPECT_EQ(run.errors, run.exitStatus == 0 ? "" : "lomvera: " + output + ": " + out.reason + "\n") << what;
      std::vector<std::string> namesAfter = listDirectory(directory.root());
      if (run.exitStatus == 0) {
        expectCompleteResult(output, in.width, in.height);
        EXPECT_NE(run.output.find("\n\nstripes: "), std::string::npos) << what;
        if (!existedBefore) namesAfter.erase(std::remove(namesAfter.begin(), namesAfter.end(), out.path), namesAfter.end());
      } else {
        EXPECT_EQ(run.output.find("stripes: "), std::string::npos) << what;
        EXPECT_EQ(fileExists(output), existedBefore) << what;
        if (regularBefore) {
          EXPECT_EQ(readBytes(output), before) << what;
        }
      }
      EXPECT_EQ(namesAfter, namesBefore) << what;
    }
  }
}

}  // namespace
